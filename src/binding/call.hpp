// Thin, checked wrappers over the C-API calls that operations make most:
// interned attribute names, imports, attribute lookups and vectorcalls.
#pragma once

#include <array>
#include <cstdlib>

#include "binding/error.hpp"

namespace tamso::py {

// An interned str for a fixed name, made on first use and kept for the life
// of the process. Running out of memory here ends the process.
inline PyObject* intern_or_abort(const char* text) noexcept {
  PyObject* s = PyUnicode_InternFromString(text);
  if (s == nullptr) {
    write_stderr("tamso: out of memory while interning a name\n");
    std::abort();
  }
  return s;
}
#define TAMSO_ID(text)                                           \
  ([]() noexcept -> PyObject* {                                  \
    static PyObject* const interned = ::tamso::py::intern_or_abort(text); \
    return interned;                                             \
  }())

// Imports a module by name through the interpreter's import function.
inline Result<Ref> import(PyObject* name) { return steal_result(PyImport_Import(name)); }

// Looks an attribute up without raising AttributeError for a missing one:
// 1 and a new reference in `out` when found, 0 and NULL when missing, -1 with
// the exception set on any other failure.
inline int lookup_attr(PyObject* obj, PyObject* name, PyObject** out) {
#if PY_VERSION_HEX >= 0x030D0000
  return PyObject_GetOptionalAttr(obj, name, out);  // 3.13 made the lookup public
#else
  return _PyObject_LookupAttr(obj, name, out);  // 3.11/3.12 offer it privately only
#endif
}

inline Result<Ref> getattr(Handle obj, PyObject* name) {
  return steal_result(PyObject_GetAttr(obj.ptr(), name));
}

// Looks up an attribute whose failure the caller discards: any exception
// (AttributeError or another) gives an empty Ref; only our own internal
// failure coming back is an error.
inline Result<Ref> getattr_or_empty(Handle obj, PyObject* name) {
  PyObject* out = nullptr;
  if (lookup_attr(obj.ptr(), name, &out) < 0) {
    TAMSO_CHECK(discard_pending());
  }
  return Ref::steal(out);
}

template <class... A>
Result<Ref> call(Handle fn, A... args) {
  std::array<PyObject*, sizeof...(A) + 1> argv{nullptr, Handle(args).ptr()...};
  return steal_result(
      PyObject_Vectorcall(fn.ptr(), argv.data() + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

template <class... A>
Result<Ref> call_method(Handle obj, PyObject* name, A... args) {
  std::array<PyObject*, sizeof...(A) + 1> argv{obj.ptr(), Handle(args).ptr()...};
  return steal_result(
      PyObject_VectorcallMethod(name, argv.data(), (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

}  // namespace tamso::py
