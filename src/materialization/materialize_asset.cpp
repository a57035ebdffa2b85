// Placeholder until materialization lands.
#include "binding/guard.hpp"
#include "materialization/materialization.hpp"

namespace tamso::materialization {
PyObject* materialize_asset(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  return py::guard([]() -> py::Result<py::Ref> { return py::Error::raise(PyExc_NotImplementedError, "materialize_asset"); });
}
}  // namespace tamso::materialization
