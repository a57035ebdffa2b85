// Placeholder until the decorator lands.
#include "binding/convert.hpp"
#include "binding/guard.hpp"
#include "declaration/declaration.hpp"

namespace tamso::declaration {
namespace {
PyObject* g_wrapper_type = nullptr;
PyType_Slot g_slots[] = {{Py_tp_new, reinterpret_cast<void*>(py::no_constructor)}, {0, nullptr}};
PyType_Spec g_spec = {"builtins.AssetWrapper", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT, g_slots};
}  // namespace

py::Result<py::Handle> asset_wrapper_type() {
  if (g_wrapper_type == nullptr) {
    TAMSO_TRY(py::Ref type, py::steal_result(PyType_FromSpec(&g_spec)));
    g_wrapper_type = type.release();
  }
  return py::Handle(g_wrapper_type);
}

PyObject* asset(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  return py::guard([]() -> py::Result<py::Ref> { return py::Error::raise(PyExc_NotImplementedError, "asset"); });
}
}  // namespace tamso::declaration
