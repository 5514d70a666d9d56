// Discovery: importing modules and reporting their assets.
#pragma once

#include "common.hpp"

namespace vorda {

Ref inspect_modules(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace vorda
