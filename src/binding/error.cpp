#include "binding/error.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace tamso::py {

namespace {

constexpr const char* kPanicName = "pyo3_runtime.PanicException";
constexpr const char* kPanicDoc =
    "The exception raised when native code called from Python fails.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.";
constexpr std::string_view kNoException = "attempted to fetch exception but none was set";
constexpr std::string_view kResumeBanner =
    "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
    "Python stack trace below:\n";
constexpr std::string_view kUnwrappedPanic = "Unwrapped panic from Python code";

PyObject* g_panic_type = nullptr;  // process lifetime, never released

// The part of a source path from "src/" on, so diagnostics never show where
// the module was built.
std::string_view short_file(const char* file) {
  std::string_view f(file);
  auto at = f.rfind("src/");
  return at == std::string_view::npos ? f : f.substr(at);
}

}  // namespace

void write_stderr(std::string_view text) noexcept {
  while (!text.empty()) {
    ssize_t n = ::write(2, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

PyObject* panic_exception_type() {
  if (g_panic_type == nullptr) {
    g_panic_type = PyErr_NewExceptionWithDoc(kPanicName, kPanicDoc, PyExc_BaseException, nullptr);
  }
  return g_panic_type;
}

Error Error::raise(PyObject* type, std::string_view message) {
  Error e;
  PyObject* text = PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()));
  if (text == nullptr) return fetch();
  Ref exc = Ref::steal(PyObject_CallOneArg(type, text));
  Py_DECREF(text);
  if (!exc) return fetch();
  e.type_ = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())));
  e.value_ = std::move(exc);
  return e;
}

Error Error::internal(std::string message, std::source_location where) {
  std::string diag = "tamso: internal failure at ";
  diag += short_file(where.file_name());
  diag += ':';
  diag += std::to_string(where.line());
  diag += ": ";
  diag += message;
  diag += '\n';
  write_stderr(diag);
  Error e;
  e.internal_ = true;
  e.message_ = std::move(message);
  return e;
}

// A PanicException escaped from Python code that an operation called: report
// it and carry on as an internal failure of this call.
Error Error::resume_panic(PyObject* type, PyObject* value, PyObject* traceback) {
  std::string message(kUnwrappedPanic);
  if (PyObject* text = PyObject_Str(value)) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size)) {
      message.assign(utf8, static_cast<std::size_t>(size));
    } else {
      PyErr_Clear();
    }
    Py_DECREF(text);
  } else {
    PyErr_Clear();
  }
  write_stderr(kResumeBanner);
  if (PyErr_GivenExceptionMatches(type, PyExc_SystemExit)) {
    // A class derived from both would make PyErr_PrintEx end the process
    // from inside this call; it is printed like any other instead.
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_DisplayException(value);  // 3.12 prints an exception object alone
#else
    PyErr_Display(type, value, traceback);
#endif
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
  } else {
#if PY_VERSION_HEX >= 0x030C0000
    Py_XDECREF(type);  // 3.12 raises the exception object alone; it holds its traceback
    Py_XDECREF(traceback);
    PyErr_SetRaisedException(value);
#else
    PyErr_Restore(type, value, traceback);
#endif
    PyErr_PrintEx(0);
  }
  // The report above is the whole diagnostic: no second one is written.
  Error e;
  e.internal_ = true;
  e.message_ = std::move(message);
  return e;
}

Error Error::fetch() {
#if PY_VERSION_HEX >= 0x030C0000
  // From 3.12 the pending exception is one normalised object that holds its
  // own traceback; the (type, value, traceback) calls are deprecated.
  PyObject* value = PyErr_GetRaisedException();
  if (value == nullptr) return raise(PyExc_SystemError, kNoException);
  PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value)));
  PyObject* traceback = PyException_GetTraceback(value);
#else
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) {
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return raise(PyExc_SystemError, kNoException);
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
#endif
  if (g_panic_type != nullptr && PyErr_GivenExceptionMatches(type, g_panic_type)) {
    return resume_panic(type, value, traceback);
  }
  Error e;
  e.type_ = Ref::steal(type);
  e.value_ = Ref::steal(value);
  e.traceback_ = Ref::steal(traceback);
  return e;
}

Status discard_pending() {
  if (g_panic_type != nullptr && PyErr_ExceptionMatches(g_panic_type)) return Error::fetch();
  PyErr_Clear();
  return ok();
}

void Error::restore() && {
  if (!internal_) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(value_.release());  // 3.12: the object carries type and traceback
#else
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
#endif
    return;
  }
  PyObject* cls = panic_exception_type();
  if (cls == nullptr) {
    write_stderr("tamso: uncaught panic at ffi boundary: cannot create PanicException\n");
    std::abort();
  }
  PyObject* text = PyUnicode_FromStringAndSize(message_.data(), static_cast<Py_ssize_t>(message_.size()));
  if (text == nullptr) {
    write_stderr("tamso: uncaught panic at ffi boundary: cannot build the panic message\n");
    std::abort();
  }
  PyErr_SetObject(cls, text);
  Py_DECREF(text);
}

}  // namespace tamso::py
