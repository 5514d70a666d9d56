#include "materialize.hpp"

namespace vorda {
namespace {

constexpr const char* kParams[] = {"module_name", "function_name", "output_dir", "input_kwargs_json"};
constexpr Signature kSignature = {"materialize_asset", kParams, 4, 4, 3};

}  // namespace

Ref materialize_asset(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto [module_arg, function_arg, output_arg, kwargs_arg] = bind<4>(kSignature, args, nargs, kwnames);
  std::string_view module_name = text_argument("module_name", module_arg);
  std::string_view function_name = text_argument("function_name", function_arg);
  std::string_view output_dir = text_argument("output_dir", output_arg);
  if (kwargs_arg != nullptr && kwargs_arg != Py_None) text_argument("input_kwargs_json", kwargs_arg);
  (void)module_name, (void)function_name, (void)output_dir;
  throw_message(PyExc_NotImplementedError, "materialize_asset is not built yet");
}

}  // namespace vorda
