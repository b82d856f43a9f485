// Pydantic field-type hooks: the core and JSON schemas, plain validation and plain
// serialisation.
#include "ondrel/datastore/tables/grimsel/holder.hpp"

namespace ondrel::grimsel {

namespace {
constexpr const char* kSchemaArgs[] = {"source_type", "handler"};
constexpr const char* kJsonSchemaArgs[] = {"core_schema", "handler"};
constexpr const char* kValue[] = {"value"};
}  // namespace

PyObject* py_get_pydantic_core_schema(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
  static const args::Params params{"__get_pydantic_core_schema__", kSchemaArgs, 2, 2};
  PyObject* unused[2];
  if (args::parse(params, args, nargs, kwnames, unused) < 0) return nullptr;

  // The order of lookups is observable (globals and class attributes can be replaced).
  Ref schema_mod = Ref::steal(lookup_global(g_names.core_schema));
  if (!schema_mod) return nullptr;
  Ref validator_fn =
      Ref::steal(PyObject_GetAttr(schema_mod.get(), g_names.no_info_plain_validator_function));
  if (!validator_fn) return nullptr;
  Ref validate = Ref::steal(PyObject_GetAttr(cls, g_names._validate));
  if (!validate) return nullptr;
  schema_mod = Ref::steal(lookup_global(g_names.core_schema));
  if (!schema_mod) return nullptr;
  Ref serializer_fn =
      Ref::steal(PyObject_GetAttr(schema_mod.get(), g_names.plain_serializer_function_ser_schema));
  if (!serializer_fn) return nullptr;
  Ref serialize = Ref::steal(PyObject_GetAttr(cls, g_names._serialize));
  if (!serialize) return nullptr;

  Ref kw_info = Ref::steal(PyTuple_Pack(1, g_names.info_arg));
  if (!kw_info) return nullptr;
  PyObject* ser_args[] = {serialize.get(), Py_False};
  Ref ser_schema = Ref::steal(PyObject_Vectorcall(serializer_fn.get(), ser_args, 1, kw_info.get()));
  if (!ser_schema) return nullptr;

  Ref kw_ser = Ref::steal(PyTuple_Pack(1, g_names.serialization));
  if (!kw_ser) return nullptr;
  PyObject* val_args[] = {validate.get(), ser_schema.get()};
  return PyObject_Vectorcall(validator_fn.get(), val_args, 1, kw_ser.get());
}

// The plain validator of the core schema says nothing a JSON schema can show, so the handler
// is given what validation accepts: a dict of str to TableData's own core schema. TableData
// then appears once under $defs and every table refers to it.
PyObject* py_get_pydantic_json_schema(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
  static const args::Params params{"__get_pydantic_json_schema__", kJsonSchemaArgs, 2, 2};
  PyObject* given[2];
  if (args::parse(params, args, nargs, kwnames, given) < 0) return nullptr;
  Ref handler = Ref::borrow(given[1]);

  Ref table_data = Ref::steal(lookup_global(g_names.TableData));
  if (!table_data) return nullptr;
  Ref table_schema = Ref::steal(PyObject_GetAttr(table_data.get(), g_names.pydantic_core_schema));
  if (!table_schema) return nullptr;
  Ref schema_mod = Ref::steal(lookup_global(g_names.core_schema));
  if (!schema_mod) return nullptr;
  Ref key_schema = Ref::steal(PyObject_CallMethodNoArgs(schema_mod.get(), g_names.str_schema));
  if (!key_schema) return nullptr;
  PyObject* dict_args[] = {schema_mod.get(), key_schema.get(), table_schema.get()};
  Ref dict_schema = Ref::steal(PyObject_VectorcallMethod(
      g_names.dict_schema, dict_args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!dict_schema) return nullptr;
  return PyObject_CallOneArg(handler.get(), dict_schema.get());
}

PyObject* py_validate(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const args::Params params{"_validate", kValue, 1, 1};
  PyObject* value;
  if (args::parse(params, args, nargs, kwnames, &value) < 0) return nullptr;
  Ref keep_value = Ref::borrow(value);
  Ref holder = Ref::steal(PyObject_CallNoArgs(cls));
  if (!holder) return nullptr;
  Ref r = Ref::steal(PyObject_CallMethodOneArg(holder.get(), g_names.replace_dict, value));
  if (!r) return nullptr;
  return holder.release();
}

PyObject* py_serialize(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  H* h = method_self(self);
  if (h == nullptr) return nullptr;
  if ((nargs != 0 || kwnames != nullptr) && args::no_args("_serialize", nargs, kwnames) < 0)
    return nullptr;
  return op_as_dict(h, 0);
}

}  // namespace ondrel::grimsel
