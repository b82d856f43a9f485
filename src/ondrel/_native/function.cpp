// The native function type: attributes, binding, vectorcall, pickling by name and garbage
// collection.
#include "ondrel/_native/function.hpp"

#include <cstddef>

#include "ondrel/_native/ref.hpp"

namespace ondrel {

namespace {

struct FunctionObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  NativeImpl impl;
  bool is_method;
  bool in_classmethod;  // reached as the __func__ of the bound method its class gives
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* doc;
  PyObject* defaults;
  PyObject* annotations;
  PyObject* text_signature;
  const char* signature_source;  // static text of FunctionDef::signature, or null
  PyObject* signature;           // inspect.Signature made from it on first use, or null
  PyObject* dict;                // attributes set by decorators and tools, made on first use
  PyObject* weakreflist;
};

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
  auto* f = reinterpret_cast<FunctionObject*>(callable);
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (!f->is_method) return f->impl(nullptr, args, nargs, kwnames);
  if (nargs < 1) {
    PyErr_Format(PyExc_TypeError, "unbound method %U() needs an argument", f->qualname);
    return nullptr;
  }
  return f->impl(args[0], args + 1, nargs - 1, kwnames);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject* /*type*/) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  Py_VISIT(f->defaults);
  Py_VISIT(f->annotations);
  Py_VISIT(f->doc);
  Py_VISIT(f->signature);
  Py_VISIT(f->dict);
  return 0;
}

int function_clear(PyObject* self) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  Py_CLEAR(f->module);
  Py_CLEAR(f->doc);
  Py_CLEAR(f->defaults);
  Py_CLEAR(f->annotations);
  Py_CLEAR(f->text_signature);
  Py_CLEAR(f->signature);
  Py_CLEAR(f->dict);
  return 0;
}

void function_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  if (reinterpret_cast<FunctionObject*>(self)->weakreflist != nullptr) PyObject_ClearWeakRefs(self);
  function_clear(self);
  PyObject_GC_Del(self);
}

PyObject* function_get_signature(PyObject* self, void* /*closure*/) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  if (f->signature_source == nullptr) Py_RETURN_NONE;
  if (f->signature != nullptr) return Py_NewRef(f->signature);
  Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
  Ref source = Ref::steal(PyUnicode_FromFormat("lambda %s: None", f->signature_source));
  Ref globals = Ref::steal(PyDict_New());
  if (!inspect || !source || !globals) return nullptr;
  const char* text = PyUnicode_AsUTF8(source.get());
  if (text == nullptr) return nullptr;
  // The builtins module itself, not the calling frame's: the defaults name real built-ins.
  Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
  if (!builtins || PyDict_SetItemString(globals.get(), "__builtins__", builtins.get()) < 0)
    return nullptr;
  Ref code = Ref::steal(Py_CompileString(text, "<signature>", Py_eval_input));
  if (!code) return nullptr;
  Ref lambda = Ref::steal(PyEval_EvalCode(code.get(), globals.get(), globals.get()));
  if (!lambda) return nullptr;
  Ref signature = Ref::steal(PyObject_CallMethod(inspect.get(), "signature", "O", lambda.get()));
  if (!signature) return nullptr;
  if (f->signature == nullptr) f->signature = Py_NewRef(signature.get());
  return signature.release();
}

// Pickled by reference, as the interpreter's own functions are: the qualified name is looked
// up in __module__ on loading (methods through their class), and copy returns the function.
// Under classmethod the class gives a bound method, so the path goes on to its __func__.
PyObject* function_reduce(PyObject* self, PyObject* /*unused*/) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  if (f->in_classmethod) return PyUnicode_FromFormat("%U.__func__", f->qualname);
  return Py_NewRef(f->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__signature__", function_get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__name__", Py_T_OBJECT_EX, offsetof(FunctionObject, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(FunctionObject, qualname), Py_READONLY, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(FunctionObject, module), Py_READONLY, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(FunctionObject, doc), Py_READONLY, nullptr},
    {"__defaults__", Py_T_OBJECT_EX, offsetof(FunctionObject, defaults), Py_READONLY, nullptr},
    {"__annotations__", Py_T_OBJECT_EX, offsetof(FunctionObject, annotations), Py_READONLY,
     nullptr},
    {"__text_signature__", Py_T_OBJECT_EX, offsetof(FunctionObject, text_signature), Py_READONLY,
     nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyTypeObject FunctionType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "ondrel_function",
    .tp_basicsize = sizeof(FunctionObject),
    .tp_dealloc = function_dealloc,
    .tp_vectorcall_offset = offsetof(FunctionObject, vectorcall),
    .tp_repr = function_repr,
    .tp_call = PyVectorcall_Call,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE,
    .tp_doc = "Native function of the ondrel package.",
    .tp_traverse = function_traverse,
    .tp_clear = function_clear,
    .tp_weaklistoffset = offsetof(FunctionObject, weakreflist),
    .tp_methods = function_methods,
    .tp_members = function_members,
    .tp_getset = function_getset,
    .tp_descr_get = function_descr_get,
    .tp_dictoffset = offsetof(FunctionObject, dict),
};

}  // namespace

int function_type_ready() { return PyType_Ready(&FunctionType); }

PyObject* function_new(const FunctionDef& def, PyObject* module_name, PyObject* defaults,
                       PyObject* annotations) {
  Ref name = Ref::steal(PyUnicode_InternFromString(def.name));
  Ref qualname = Ref::steal(PyUnicode_FromString(def.qualname));
  Ref doc = Ref::steal(def.doc ? PyUnicode_FromString(def.doc) : Py_NewRef(Py_None));
  Ref ann = annotations ? Ref::borrow(annotations) : Ref::steal(PyDict_New());
  Ref sig = Ref::steal(def.text_signature ? PyUnicode_FromString(def.text_signature)
                                          : Py_NewRef(Py_None));
  if (!name || !qualname || !doc || !ann || !sig) return nullptr;
  auto* f = PyObject_GC_New(FunctionObject, &FunctionType);
  if (f == nullptr) return nullptr;
  f->vectorcall = function_vectorcall;
  f->impl = def.impl;
  f->is_method = def.is_method;
  f->in_classmethod = false;
  f->name = name.release();
  f->qualname = qualname.release();
  f->module = Py_NewRef(module_name);
  f->doc = doc.release();
  f->defaults = Py_NewRef(defaults ? defaults : Py_None);
  f->annotations = ann.release();
  f->text_signature = sig.release();
  f->signature_source = def.signature;
  f->signature = nullptr;
  f->dict = nullptr;
  f->weakreflist = nullptr;
  PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
  return reinterpret_cast<PyObject*>(f);
}

PyObject* classmethod_new(const FunctionDef& def, PyObject* module_name, PyObject* defaults,
                          PyObject* annotations) {
  Ref f = Ref::steal(function_new(def, module_name, defaults, annotations));
  if (!f) return nullptr;
  reinterpret_cast<FunctionObject*>(f.get())->in_classmethod = true;
  return PyClassMethod_New(f.get());
}

bool function_runs(PyObject* obj, NativeImpl impl) {
  if (PyMethod_Check(obj)) obj = PyMethod_GET_FUNCTION(obj);
  return Py_IS_TYPE(obj, &FunctionType) && reinterpret_cast<FunctionObject*>(obj)->impl == impl;
}

}  // namespace ondrel
