// Asset declaration: `partitions()`, `asset()` and the classes they make.
#pragma once

#include "binding/error.hpp"

namespace tamso::declaration {

// The classes, created from their specs on first use (borrowed, process lifetime).
py::Result<py::Handle> partitions_type();
py::Result<py::Handle> asset_wrapper_type();

// Module functions (fast call with keywords).
PyObject* asset(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* py_partitions(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

}  // namespace tamso::declaration
