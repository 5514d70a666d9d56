#include "discovery.hpp"

#include <string>
#include <vector>

namespace vorda {
namespace {

constexpr const char* kParams[] = {"modules"};
constexpr Signature kSignature = {"inspect_modules", kParams, 1, 1, 1};

std::vector<std::string> module_names(PyObject* modules) {
  if (PyUnicode_Check(modules)) throw_message(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(modules)) throw_cannot_convert(modules, "Sequence");
  std::vector<std::string> names;
  Ref iterator = check(PyObject_GetIter(modules));
  while (PyObject* item = PyIter_Next(iterator.get())) {
    Ref owned = Ref::steal(item);
    names.emplace_back(to_text(item));
  }
  if (PyErr_Occurred()) throw_pending();
  return names;
}

}  // namespace

Ref inspect_modules(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto [modules] = bind<1>(kSignature, args, nargs, kwnames);
  std::vector<std::string> names = convert_argument("modules", [&] { return module_names(modules); });
  throw_message(PyExc_NotImplementedError, "inspect_modules is not built yet");
}

}  // namespace vorda
