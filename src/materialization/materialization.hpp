// Asset materialization: `materialize_asset()`.
#pragma once

#include "binding/ref.hpp"

namespace tamso::materialization {

PyObject* materialize_asset(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

}  // namespace tamso::materialization
