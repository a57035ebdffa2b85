// Placeholder until inspection lands.
#include "binding/guard.hpp"
#include "inspection/inspection.hpp"

namespace tamso::inspection {
PyObject* inspect_modules(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  return py::guard([]() -> py::Result<py::Ref> { return py::Error::raise(PyExc_NotImplementedError, "inspect_modules"); });
}
}  // namespace tamso::inspection
