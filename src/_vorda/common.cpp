#include "common.hpp"

#include <algorithm>
#include <cassert>
#include <string>

#include "names.hpp"

namespace vorda {

// ---- Exceptions ------------------------------------------------------------

PyError PyError::fetch() noexcept {
  PyError error;
  if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  error.type_ = Ref::steal(type);
  error.value_ = Ref::steal(value);
  error.traceback_ = Ref::steal(traceback);
  return error;
}

PyError::PyError(PyObject* type, Ref message) noexcept : type_(Ref::borrow(type)), value_(std::move(message)) {}

void PyError::restore() noexcept { PyErr_Restore(type_.release(), value_.release(), traceback_.release()); }

bool PyError::matches(PyObject* exc_type) const noexcept {
  return type_ && PyErr_GivenExceptionMatches(type_.get(), exc_type);
}

PyObject* PyError::value() {
  if (!value_ || !PyExceptionInstance_Check(value_.get())) {
    PyObject *type = type_.release(), *value = value_.release(), *traceback = traceback_.release();
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value && traceback) PyException_SetTraceback(value, traceback);
    type_ = Ref::steal(type);
    value_ = Ref::steal(value);
    traceback_ = Ref::steal(traceback);
  }
  return value_.get();
}

void throw_pending() { throw PyError::fetch(); }

namespace {

PyObject* internal_failure_type() {
  // Created once per process and kept for its life.
  static PyObject* type = nullptr;
  if (type == nullptr) {
    PyObject* created =
        PyErr_NewExceptionWithDoc("vorda._vorda.InternalFailure",
                                  "Raised when vorda meets a state that its own code treats as impossible,\n"
                                  "such as a dict changed by user code while vorda iterates over it.",
                                  PyExc_BaseException, nullptr);
    if (created == nullptr) return nullptr;
    if (type == nullptr) {
      type = created;
    } else {
      Py_DECREF(created);
    }
  }
  return type;
}

}  // namespace

void raise_internal(const char* description) {
  PyObject* type = internal_failure_type();
  if (type == nullptr) return;  // the creation failure is set instead
  PyErr_SetString(type, description);
}

PyObject* Name::get() {
  if (object_ == nullptr) {
    object_ = PyUnicode_InternFromString(text_);
    if (object_ == nullptr) throw_pending();
  }
  return object_;
}

// ---- Message forms ---------------------------------------------------------

Ref type_qualname(PyObject* obj) noexcept {
  PyObject* name = PyType_GetQualName(Py_TYPE(obj));
  if (name == nullptr || !PyUnicode_Check(name)) {
    Py_XDECREF(name);
    PyErr_Clear();
    name = PyUnicode_FromString("<failed to extract type name>");
  }
  return Ref::steal(name);
}

void throw_cannot_convert(PyObject* obj, const char* kind) {
  Ref name = type_qualname(obj);
  if (!name) throw_pending();
  throw PyError(PyExc_TypeError,
                check(PyUnicode_FromFormat("'%U' object cannot be converted to '%s'", name.get(), kind)));
}

void throw_message(PyObject* exc_type, const char* message) {
  throw PyError(exc_type, check(PyUnicode_FromString(message)));
}

void throw_prefixed(PyObject* exc_type, const char* prefix, std::string_view detail) {
  std::string text = prefix;
  text += detail;
  throw PyError(exc_type, new_text(text));
}

// ---- Text ------------------------------------------------------------------

std::string_view to_text(PyObject* obj) {
  if (!PyUnicode_Check(obj)) throw_cannot_convert(obj, "PyString");
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) throw_pending();
  return {data, static_cast<std::size_t>(size)};
}

Ref new_text(std::string_view text) {
  return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

std::string lossy_text(PyObject* str) {
  Py_ssize_t size = 0;
  if (const char* data = PyUnicode_AsUTF8AndSize(str, &size)) return std::string(data, static_cast<std::size_t>(size));
  PyErr_Clear();
  // Surrogates pass through as three bytes each, none of which starts a
  // valid sequence, so decoding turns each into three U+FFFD.
  Ref bytes = check(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
  Ref fixed = check(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()), "replace"));
  return std::string(to_text(fixed.get()));
}

// ---- Argument binding ------------------------------------------------------

namespace {

[[noreturn]] void throw_type_error(Ref message) { throw PyError(PyExc_TypeError, std::move(message)); }

const char* was_were(Py_ssize_t n) { return n == 1 ? "was" : "were"; }

[[noreturn]] void throw_too_many(const Signature& sig, Py_ssize_t given) {
  if (sig.required == sig.positional) {
    throw_type_error(check(PyUnicode_FromFormat("%s() takes %zu positional arguments but %zd %s given", sig.function,
                                                sig.positional, given, was_were(given))));
  }
  throw_type_error(check(PyUnicode_FromFormat("%s() takes from %zu to %zu positional arguments but %zd %s given",
                                              sig.function, sig.required, sig.positional, given, was_were(given))));
}

[[noreturn]] void throw_missing(const Signature& sig, PyObject** bound) {
  std::string names;
  std::size_t missing = 0;
  for (std::size_t i = 0; i < sig.required; ++i) missing += bound[i] == nullptr;
  std::size_t seen = 0;
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (bound[i] != nullptr) continue;
    if (seen > 0) names += missing == 2 ? " and " : (seen + 1 == missing ? ", and " : ", ");
    names += '\'';
    names += sig.params[i];
    names += '\'';
    ++seen;
  }
  throw_type_error(check(PyUnicode_FromFormat("%s() missing %zu required positional %s: %s", sig.function, missing,
                                              missing == 1 ? "argument" : "arguments", names.c_str())));
}

}  // namespace

void bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  assert(nargs >= 0 && sig.required <= sig.positional && sig.positional <= sig.count);
  assert(kwnames == nullptr || PyTuple_Check(kwnames));
  if (static_cast<std::size_t>(nargs) > sig.positional) throw_too_many(sig, nargs);
  std::fill_n(out, sig.count, nullptr);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    std::size_t index = sig.count;
    for (std::size_t p = 0; p < sig.count; ++p) {
      if (PyUnicode_CompareWithASCIIString(key, sig.params[p]) == 0) {
        index = p;
        break;
      }
    }
    if (index == sig.count) {
      throw_type_error(check(PyUnicode_FromFormat("%s() got an unexpected keyword argument '%U'", sig.function, key)));
    }
    if (out[index] != nullptr) {
      throw_type_error(
          check(PyUnicode_FromFormat("%s() got multiple values for argument '%s'", sig.function, sig.params[index])));
    }
    out[index] = args[nargs + k];
  }
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (out[i] == nullptr) throw_missing(sig, out);
  }
}

void rethrow_as_argument_error(const char* param, PyError&& error) {
  PyObject* old = error.value();
  if (old == nullptr) throw std::move(error);
  Ref text = check(PyObject_Str(old));
  Ref message = check(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
  Ref replacement = check(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  PyException_SetCause(replacement.get(), PyException_GetCause(old));
  throw PyError(PyExc_TypeError, std::move(replacement));
}

std::string_view text_argument(const char* param, PyObject* value) {
  return convert_argument(param, [&] { return to_text(value); });
}

// ---- Calling Python --------------------------------------------------------

Ref import_module(const char* name) {
  Ref text = check(PyUnicode_FromString(name));
  return check(PyImport_Import(text.get()));
}

Ref get_attr(PyObject* obj, Name& name) { return check(PyObject_GetAttr(obj, name.get())); }

Ref get_attr(PyObject* obj, PyObject* name) { return check(PyObject_GetAttr(obj, name)); }

// ---- Shared by the roles ------------------------------------------------------

std::string source_path(const Stdlib& lib, PyObject* function, NoSource no_source) {
  Ref getsourcefile = get_attr(lib.inspect.get(), names::getsourcefile);
  PyObject* file = PyObject_CallOneArg(getsourcefile.get(), function);
  if (file == nullptr) {
    if (no_source == NoSource::raise) throw_pending();
    PyErr_Clear();
    return {};
  }
  Ref owned = Ref::steal(file);
  Ref path = call(get_attr(lib.pathlib.get(), names::Path).get(), file);
  Ref resolved = call_method(path.get(), names::resolve);
  Ref text = check(PyObject_Str(resolved.get()));
  return std::string(to_text(text.get()));
}

std::string describe_exception(std::string type_name, PyObject* exc) {
  std::string text = std::move(type_name);
  text += ": ";
  if (PyObject* message = PyObject_Str(exc)) {
    Ref owned = Ref::steal(message);
    text += lossy_text(message);
  } else {
    PyErr_Clear();
    text += "<exception str() failed>";
  }
  return text;
}

}  // namespace vorda
