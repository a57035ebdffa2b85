// Module inspection: `inspect_modules()`.
#pragma once

#include "binding/ref.hpp"

namespace tamso::inspection {

PyObject* inspect_modules(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

}  // namespace tamso::inspection
