// The module entry: creates `_tamso` once per process and registers its two
// classes and four functions, in that order, and nothing else.
#include <atomic>
#include <cstdint>

#include "binding/call.hpp"
#include "binding/convert.hpp"
#include "binding/guard.hpp"
#include "declaration/declaration.hpp"
#include "inspection/inspection.hpp"
#include "materialization/materialization.hpp"

namespace tamso {
namespace {

using py::Error;
using py::Handle;
using py::Ref;
using py::Result;
using py::Status;

constexpr const char kModuleDoc[] = "The native `_tamso` module.";

constexpr const char kSubinterpreters[] =
    "PyO3 modules do not yet support subinterpreters, see "
    "https://docs.python.org/3/howto/isolating-extensions.html";

constexpr const char kAssetDoc[] =
    "asset(*, name=None, inputs=None, partitions=None, serializer=None)\n"
    "--\n"
    "\n"
    "Decorator that registers a Python function as a tamso asset.\n"
    "\n"
    "Usage\n"
    "-----\n"
    "    from tamso import asset\n"
    "\n"
    "    @asset()\n"
    "    def my_data():\n"
    "        return {\"value\": 42}\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "name : str, optional\n"
    "    Override the asset's display name / continuity key.\n"
    "    Defaults to ``\"<file>:<function_name>\"``.\n"
    "inputs : dict[str, asset], optional\n"
    "    Declare upstream dependencies.  Map parameter names to other\n"
    "    ``@asset``-decorated functions.  Tamso will materialize upstream\n"
    "    assets first and pass their values as keyword arguments.\n"
    "\n"
    "    Example::\n"
    "\n"
    "        @asset()\n"
    "        def raw(): return [1, 2, 3]\n"
    "\n"
    "        @asset(inputs={\"data\": raw})\n"
    "        def processed(data): return [x * 2 for x in data]\n"
    "\n"
    "partitions : dict[str, partitions(...)], optional\n"
    "    Declare a partitioned asset.  Each dimension maps to a\n"
    "    ``partitions([...])`` call that enumerates the static partition keys.\n"
    "    Tamso will create one materialization job per partition combination.\n"
    "\n"
    "    Example::\n"
    "\n"
    "        from tamso import asset, partitions\n"
    "\n"
    "        @asset(partitions={\"ticker\": partitions([\"AAPL\", \"MSFT\", \"GOOG\"])})\n"
    "        def prices(ticker: str):\n"
    "            return fetch_price(ticker)\n"
    "\n"
    "serializer : str, optional\n"
    "    Reserved for future use.  Leave unset.";

constexpr const char kPartitionsDoc[] =
    "partitions(values)\n"
    "--\n"
    "\n"
    "Declare a static partition universe for use with ``@asset(partitions=...)``.\n"
    "\n"
    "Example::\n"
    "\n"
    "    from tamso import asset, partitions\n"
    "\n"
    "    @asset(partitions={\"ticker\": partitions([\"AAPL\", \"MSFT\", \"GOOG\"])})\n"
    "    def prices(ticker: str): ...";

constexpr const char kInspectModulesDoc[] =
    "inspect_modules(modules)\n"
    "--\n"
    "\n"
    "Inspect modules for tamso assets. Called by the `python -m tamso.inspect` CLI stub.\n"
    "\n"
    "Imports each module, finds functions with `__tamso_kind__ == \"asset\"`,\n"
    "extracts source and metadata, returns JSON string to stdout.";

constexpr const char kMaterializeAssetDoc[] =
    "materialize_asset(module_name, function_name, output_dir, input_kwargs_json=None)\n"
    "--\n"
    "\n"
    "Materialize a single asset function. Called by the `python -m tamso.worker` CLI stub.\n"
    "\n"
    "Imports the module, finds the function, calls the unwrapped original,\n"
    "serializes the result to JSON, writes value.json and result.json.\n"
    "\n"
    "If `input_kwargs_json` is provided, it is parsed as a JSON dict and\n"
    "passed as keyword arguments to the function.";

template <PyObject* (*F)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>
constexpr PyCFunction fastcall() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

// Function definitions in registration order; they live for the process.
PyMethodDef g_functions[] = {
    {"asset", fastcall<declaration::asset>(), METH_FASTCALL | METH_KEYWORDS, kAssetDoc},
    {"partitions", fastcall<declaration::py_partitions>(), METH_FASTCALL | METH_KEYWORDS, kPartitionsDoc},
    {"inspect_modules", fastcall<inspection::inspect_modules>(), METH_FASTCALL | METH_KEYWORDS, kInspectModulesDoc},
    {"materialize_asset", fastcall<materialization::materialize_asset>(), METH_FASTCALL | METH_KEYWORDS,
     kMaterializeAssetDoc},
};

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT, "_tamso", kModuleDoc, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<std::int64_t> g_first_interpreter{-1};
PyObject* g_module = nullptr;  // set once, never released

// Appends `name` to the module's __all__ (creating it when missing) and sets
// the attribute.
Status add(Handle module, Handle name, Handle value) {
  PyObject* all_name = TAMSO_ID("__all__");
  PyObject* found = nullptr;
  if (py::lookup_attr(module.ptr(), all_name, &found) < 0) return Error::fetch();
  Ref all = Ref::steal(found);
  if (!all) {
    TAMSO_TRY(all, py::steal_result(PyList_New(0)));
    TAMSO_CHECK(py::check(PyObject_SetAttr(module.ptr(), all_name, all.get())));
  }
  if (!PyList_Check(all.get())) return py::conversion_error(all, py::kTargetList);
  if (PyList_Append(all.get(), name.ptr()) < 0) {
    PyErr_Clear();
    return Error::internal("could not append __name__ to __all__");
  }
  return py::check(PyObject_SetAttr(module.ptr(), name.ptr(), value.ptr()));
}

Status register_class(Handle module, Result<Handle> (*type)(), const char* name) {
  TAMSO_TRY(Handle cls, type());
  TAMSO_TRY(Ref key, py::steal_result(PyUnicode_FromString(name)));
  return add(module, key, cls);
}

Status register_function(Handle module, PyMethodDef* definition) {
  TAMSO_TRY(Ref module_name, py::steal_result(PyModule_GetNameObject(module.ptr())));
  TAMSO_TRY(Ref function,
            py::steal_result(PyCMethod_New(definition, module.ptr(), module_name.get(), nullptr)));
  TAMSO_TRY(Ref name, py::getattr(function, TAMSO_ID("__name__")));
  if (!PyUnicode_Check(name.get())) return py::conversion_error(name, py::kTargetString);
  return add(module, name, function);
}

Status module_body(Handle module) {
  TAMSO_CHECK(register_class(module, declaration::asset_wrapper_type, "AssetWrapper"));
  TAMSO_CHECK(register_class(module, declaration::partitions_type, "Partitions"));
  for (PyMethodDef& definition : g_functions) TAMSO_CHECK(register_function(module, &definition));
  return py::ok();
}

Result<Ref> start() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return Error::fetch();
  std::int64_t expected = -1;
  if (!g_first_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    return Error::raise(PyExc_ImportError, kSubinterpreters);
  }
  if (g_module != nullptr) return Ref::borrow(g_module);
  TAMSO_TRY(Ref module, py::steal_result(PyModule_Create2(&g_definition, 1013)));
  TAMSO_CHECK(module_body(module));  // a failure drops the half-filled module
  g_module = module.clone().release();
  return module;
}

}  // namespace
}  // namespace tamso

PyMODINIT_FUNC PyInit__tamso() { return tamso::py::guard(tamso::start); }
