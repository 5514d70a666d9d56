// Python objects to JSON values, through the interpreter's own `json.dumps`.
#pragma once

#include "common.hpp"
#include "json.hpp"

namespace vorda {

// `json.dumps(obj)` read back by the strict reader; a reading failure is a
// RuntimeError "JSON parse error: {}".
json::Value python_to_json(PyObject* obj);

// The shared steps: `dumps(obj)` (dumps looked up on `json_module` now),
// the result's text, and the reader. Returns false with `error` set when
// the text does not read; Python failures are thrown.
bool dump_and_read(PyObject* json_module, PyObject* obj, json::Value& out, json::ReadError& error);

}  // namespace vorda
