#include "materialize.hpp"

#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "declaration.hpp"
#include "json.hpp"

namespace vorda {
namespace {

constexpr const char* kParams[] = {"module_name", "function_name", "output_dir", "input_kwargs_json"};
constexpr Signature kSignature = {"materialize_asset", kParams, 4, 4, 3};

Name path_name("Path");
Name mkdir_name("mkdir");
Name parents_name("parents");
Name exist_ok_name("exist_ok");
Name truediv_name("__truediv__");
Name write_text_name("write_text");
Name import_module_name("import_module");
Name loads_name("loads");
Name dumps_name("dumps");
Name signature_name("signature");
Name exit_name("exit");
Name name_name("__name__");
Name qualname_name("__qualname__");
// Argument texts, interned once like the attribute names.
Name utf8_text("utf-8");
Name result_json_text("result.json");
Name value_json_text("value.json");

// What the guarded run needs from the earlier stages.
struct Run {
  std::string_view module_name;
  std::string_view function_name;
  PyObject* module_text;    // exact str
  PyObject* function_text;  // exact str
  PyObject* kwargs_text;    // exact str, or null when no keyword arguments are given
  PyObject* importlib;
  PyObject* inspect;
  PyObject* json;
  PyObject* output_path;
  PyObject* result_path;
};

// The argument as an exact str, so no method of a str subclass runs when
// the text is handed on to Python.
Ref exact_text(PyObject* arg, std::string_view text) {
  if (PyUnicode_CheckExact(arg)) return Ref::borrow(arg);
  return new_text(text);
}

Ref call_with_kwargs(PyObject* callable, PyObject* kwargs) {
  Ref empty = check(PyTuple_New(0));
  return check(PyObject_Call(callable, empty.get(), kwargs));
}

void write_record(PyObject* result_path, const json::Value& record) {
  Ref text = new_text(json::write(record));
  call_method(result_path, write_text_name, text.get(), utf8_text.get());
}

// Everything from the import of the asset's module to the success record.
// Any exception thrown out of here is recorded as the run's failure.
void run_asset(const Run& run) {
  Ref module = call(get_attr(run.importlib, import_module_name).get(), run.module_text);
  Ref target = get_attr(module.get(), run.function_text);
  Ref callable = undecorated(target.get());

  Ref value;
  if (run.kwargs_text == nullptr) {
    value = check(PyObject_CallNoArgs(callable.get()));
  } else {
    Ref kwargs = call(get_attr(run.json, loads_name).get(), run.kwargs_text);
    if (!PyDict_Check(kwargs.get())) throw_cannot_convert(kwargs.get(), "PyDict");
    value = call_with_kwargs(callable.get(), kwargs.get());
  }

  Ref value_path = call_method(run.output_path, truediv_name, value_json_text.get());
  Ref encoded = call(get_attr(run.json, dumps_name).get(), value.get());
  call_method(value_path.get(), write_text_name, encoded.get(), utf8_text.get());

  Ref value_path_text = check(PyObject_Str(value_path.get()));
  Ref signature = call(get_attr(run.inspect, signature_name).get(), callable.get());
  Ref signature_text = check(PyObject_Str(signature.get()));
  Ref type_name = get_attr(reinterpret_cast<PyObject*>(Py_TYPE(value.get())), name_name);

  // Built completely before the one write, so no partial record is ever left.
  json::Members members;
  members.reserve(7);
  members.push_back({"ok", json::Value::boolean(true)});
  members.push_back({"artifact_format", json::Value::string("json")});
  members.push_back({"value_path", json::Value::string(to_text(value_path_text.get()))});
  members.push_back({"result_type", json::Value::string(to_text(type_name.get()))});
  members.push_back({"module_path", json::Value::string(run.module_name)});
  members.push_back({"function_name", json::Value::string(run.function_name)});
  members.push_back({"signature", json::Value::string(to_text(signature_text.get()))});
  write_record(run.result_path, json::Value::object(std::move(members)));
}

// The failure record of the exception that ended the run. Reading the type's
// names may raise; that exception goes to the caller instead.
json::Value failure_record(PyError& error) {
  PyObject* exc = error.value();
  if (exc == nullptr) throw InternalError("failed run without an exception");
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));

  Ref qualname = get_attr(type, qualname_name);
  std::string message(to_text(qualname.get()));
  message += ": ";
  if (PyObject* text = PyObject_Str(exc)) {
    Ref owned = Ref::steal(text);
    message += lossy_text(text);
  } else {
    PyErr_Clear();
    message += "<exception str() failed>";
  }

  Ref name = get_attr(type, name_name);
  std::string_view error_type = to_text(name.get());

  json::Members members;
  members.reserve(3);
  members.push_back({"ok", json::Value::boolean(false)});
  members.push_back({"error", json::Value::string(message)});
  members.push_back({"error_type", json::Value::string(error_type)});
  return json::Value::object(std::move(members));
}

}  // namespace

Ref materialize_asset(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto [module_arg, function_arg, output_arg, kwargs_arg] = bind<4>(kSignature, args, nargs, kwnames);
  std::string_view module_name = text_argument("module_name", module_arg);
  std::string_view function_name = text_argument("function_name", function_arg);
  std::string_view output_dir = text_argument("output_dir", output_arg);
  bool has_kwargs = kwargs_arg != nullptr && kwargs_arg != Py_None;
  std::string_view kwargs_json = has_kwargs ? text_argument("input_kwargs_json", kwargs_arg) : std::string_view();

  Ref module_text = exact_text(module_arg, module_name);
  Ref function_text = exact_text(function_arg, function_name);
  Ref output_text = exact_text(output_arg, output_dir);
  Ref kwargs_text = has_kwargs ? exact_text(kwargs_arg, kwargs_json) : Ref();

  Ref importlib = import_module("importlib");
  Ref inspect = import_module("inspect");
  Ref json_module = import_module("json");
  Ref pathlib = import_module("pathlib");

  Ref output_path = call(get_attr(pathlib.get(), path_name).get(), output_text.get());
  {
    Ref options = check(PyDict_New());
    check_status(PyDict_SetItem(options.get(), parents_name.get(), Py_True));
    check_status(PyDict_SetItem(options.get(), exist_ok_name.get(), Py_True));
    call_with_kwargs(get_attr(output_path.get(), mkdir_name).get(), options.get());
  }
  Ref result_path = call_method(output_path.get(), truediv_name, result_json_text.get());

  const Run run{module_name,     function_name, module_text.get(), function_text.get(), kwargs_text.get(),
                importlib.get(), inspect.get(), json_module.get(), output_path.get(),   result_path.get()};
  std::optional<PyError> failure;
  try {
    run_asset(run);
    return Ref::borrow(Py_None);
  } catch (PyError& error) {
    failure.emplace(std::move(error));
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    failure.emplace(PyError::fetch());
  }

  json::Value record = failure_record(*failure);
  // The failure survives only in the record; it is never raised or chained.
  failure.reset();
  write_record(result_path.get(), record);

  Ref sys = import_module("sys");
  Ref code = check(PyLong_FromLong(1));
  call(get_attr(sys.get(), exit_name).get(), code.get());
  return Ref::borrow(Py_None);
}

}  // namespace vorda
