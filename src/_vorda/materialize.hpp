// Materialization: running one asset and writing value.json and result.json.
#pragma once

#include "common.hpp"

namespace vorda {

Ref materialize_asset(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace vorda
