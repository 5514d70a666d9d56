#include "convert.hpp"

#include "names.hpp"

namespace vorda {

bool dump_and_read(PyObject* json_module, PyObject* obj, json::Value& out, json::ReadError& error) {
  Ref dumps = get_attr(json_module, names::dumps);
  Ref text = call(dumps.get(), obj);
  if (!PyUnicode_Check(text.get())) throw_cannot_convert(text.get(), "PyString");
  return json::read(to_text(text.get()), out, error);
}

json::Value python_to_json(PyObject* obj) {
  Ref json_module = import_module("json");
  json::Value value;
  json::ReadError error;
  if (!dump_and_read(json_module.get(), obj, value, error)) {
    throw_prefixed(PyExc_RuntimeError, "JSON parse error: ", error.describe());
  }
  return value;
}

}  // namespace vorda
