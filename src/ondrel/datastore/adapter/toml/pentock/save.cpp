// The file half of write_unified_data: the path as os.fsencode gives it, the save without the
// GIL (taken back only to run signal handlers), and its failures as open()'s would read.
#include <Python.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "ondrel/_native/ref.hpp"
#include "ondrel/_native/replace_file.hpp"
#include "ondrel/_native/store_lock.hpp"
#include "ondrel/datastore/adapter/toml/pentock/encoder.hpp"
#include "ondrel/datastore/adapter/toml/pentock/save.hpp"

namespace ondrel::pentock {

namespace {

// A signal interrupted a blocking call (a FIFO's open, a lock): its handlers run now, as
// open() runs them (PEP 475); one that raises stops the save.
struct Released {
  PyThreadState* state;
};

bool signals_allow(void* context) {
  auto* released = static_cast<Released*>(context);
  PyEval_RestoreThread(released->state);
  const bool go_on = PyErr_CheckSignals() == 0;
  released->state = PyEval_SaveThread();
  return go_on;
}

[[gnu::cold]] PyObject* raise_open_error(int err, PyObject* filepath) {
  Ref module = Ref::steal(PyImport_ImportModule("ondrel.datastore.adapter.toml._save_errors"));
  if (!module) return nullptr;
  Ref exc = Ref::steal(PyObject_CallMethod(module.get(), "could_not_open", "iO", err, filepath));
  if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
  return nullptr;
}

// OSError(errno, strerror, path) for a failed write, sync, close or rename.
[[gnu::cold]] PyObject* raise_write_error(int err, PyObject* filepath) {
  errno = err != 0 ? err : EIO;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filepath);
  return nullptr;
}

[[gnu::cold]] PyObject* raise_with_text(int err, PyObject* filepath, PyObject* text) {
  if (text == nullptr) return nullptr;
  Ref exc = Ref::steal(PyObject_CallFunction(PyExc_OSError, "iNO", err, text, filepath));
  if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
  return nullptr;
}

// The old file stays whole: what it carries would be lost or widened by the new one.
[[gnu::cold]] PyObject* raise_attribute_error(int err, const std::string& name,
                                              PyObject* filepath) {
  return raise_with_text(
      err, filepath,
      PyUnicode_FromFormat("%s: the file's %s cannot be carried over to the new file, so the "
                           "file was left as it was",
                           std::strerror(err), name.c_str()));
}

// The rename is done and the file holds the new document: the failure is reported (durable
// was asked for and not given), but never as a save that left the old document.
[[gnu::cold]] PyObject* raise_dir_sync_error(int err, PyObject* filepath) {
  return raise_with_text(
      err, filepath,
      PyUnicode_FromFormat("%s: the file holds the new document, but syncing its directory "
                           "failed, so a power cut may still bring back the old one",
                           std::strerror(err)));
}

}  // namespace

Ref fs_path(PyObject* filepath) {
  Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(filepath));
  if (!encoded) return encoded;
  // open would stop at a NUL and write to another file than the one named.
  if (std::strlen(PyBytes_AS_STRING(encoded.get())) !=
      static_cast<size_t>(PyBytes_GET_SIZE(encoded.get()))) {
    PyErr_SetString(PyExc_ValueError, "embedded null character in filepath");
    return Ref();
  }
  return encoded;
}

PyObject* save_document(PyObject* filepath, const char* path, const char* data, size_t size,
                        bool durable) {
  Released released{PyEval_SaveThread()};
  files::SaveOptions options;
  options.durable = durable;
  options.interrupted = signals_allow;
  options.context = &released;
  const files::SaveResult saved = files::save_whole_file(path, data, size, options);
  PyEval_RestoreThread(released.state);
  switch (saved.stage) {
    case files::SaveResult::kDone: Py_RETURN_NONE;
    case files::SaveResult::kNoMemory: return PyErr_NoMemory();
    case files::SaveResult::kInterrupted: return nullptr;  // the handler's exception
    case files::SaveResult::kWrite: return raise_write_error(saved.err, filepath);
    case files::SaveResult::kAttribute:
      return raise_attribute_error(saved.err, saved.attribute, filepath);
    case files::SaveResult::kDirSync: return raise_dir_sync_error(saved.err, filepath);
    case files::SaveResult::kOpen: break;
  }
  return raise_open_error(saved.err, filepath);
}

namespace {

// _store_lock(fd, hold): the calling thread's store handle holds (hold=True) or stops holding
// the lock of the file open as `fd`, so that saves from this thread go on under it. Holding
// returns False, noting nothing, when this thread holds that file's lock already.
PyObject* _store_lock_impl(PyObject*, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs != 2 || kwnames != nullptr) {
    PyErr_SetString(PyExc_TypeError, "_store_lock() takes exactly 2 positional arguments");
    return nullptr;
  }
  const int fd = PyLong_AsInt(argv[0]);
  if (fd == -1 && PyErr_Occurred()) return nullptr;
  if (fd < 0) {
    PyErr_SetString(PyExc_ValueError, "_store_lock() needs an open file descriptor");
    return nullptr;
  }
  const int hold = PyObject_IsTrue(argv[1]);
  if (hold < 0) return nullptr;
  struct stat st{};
  if (::fstat(fd, &st) != 0) return PyErr_SetFromErrno(PyExc_OSError);
  if (!hold) {
    files::note_dropped(st.st_dev, st.st_ino);
    Py_RETURN_TRUE;
  }
  if (files::handle_holding(st.st_dev, st.st_ino) == files::Holder::kThisThread) Py_RETURN_FALSE;
  files::note_held(st.st_dev, st.st_ino);
  Py_RETURN_TRUE;
}

}  // namespace

const FunctionDef kStoreLockFunction{
    "_store_lock",    "_store_lock", "_store_lock(fd, hold) -> bool\n\nFor open_store.",
    _store_lock_impl, false,         "(fd, hold, /)"};

}  // namespace ondrel::pentock
