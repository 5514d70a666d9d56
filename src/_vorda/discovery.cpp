#include "discovery.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

#include "convert.hpp"
#include "declaration.hpp"
#include "json.hpp"
#include "names.hpp"

namespace vorda {
namespace {

constexpr const char* kParams[] = {"modules"};
constexpr SignatureOf kSignature("inspect_modules", kParams, 1, 1);

// One name from `modules`: the object as given (imported as is) and its text.
struct ModuleName {
  Ref object;
  std::string_view text;  // owned by `object`
};

std::vector<ModuleName> module_names(PyObject* modules) {
  if (PyUnicode_Check(modules)) throw_message(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(modules)) throw_cannot_convert(modules, "Sequence");
  std::vector<ModuleName> names;
  Ref iterator = check(PyObject_GetIter(modules));
  while (PyObject* item = PyIter_Next(iterator.get())) {
    Ref owned = Ref::steal(item);
    std::string_view text = to_text(item);
    names.push_back({std::move(owned), text});
  }
  if (PyErr_Occurred()) throw_pending();
  return names;
}

std::int64_t version_part(PyObject* version_info, Name& name) {
  Ref part = get_attr(version_info, name);
  long long n = PyLong_AsLongLong(part.get());
  if (n == -1 && PyErr_Occurred()) throw_pending();
  return n;
}

std::string version_text(PyObject* sys) {
  Ref info = get_attr(sys, names::version_info);
  std::int64_t major = version_part(info.get(), names::major);
  std::int64_t minor = version_part(info.get(), names::minor);
  std::int64_t micro = version_part(info.get(), names::micro);
  std::string text = std::to_string(major);
  text += '.';
  text += std::to_string(minor);
  text += '.';
  text += std::to_string(micro);
  return text;
}

// ---- The skip line -------------------------------------------------------------

// Straight to file descriptor 2, so a replaced `sys.stderr` does not see it.
// The write may block (a pipe nobody drains), so other threads run meanwhile
// and an interrupted write runs the signal handlers; one that raises ends
// the call with its exception.
void write_stderr(std::string_view text) {
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    PyThreadState* saved = PyEval_SaveThread();
    const ssize_t n = ::write(2, p, left);
    const int error = errno;
    PyEval_RestoreThread(saved);
    if (n < 0) {
      if (error != EINTR) return;  // nowhere left to report to
      if (PyErr_CheckSignals() < 0) throw_pending();
      continue;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

void report_skipped(std::string_view name, PyError& error) {
  std::string line = "vorda: skipping module '";
  line += name;
  line += "': ";
  if (PyObject* exc = error.value()) {
    Ref qualname = type_qualname(exc);
    if (!qualname) throw_pending();
    line += describe_exception(lossy_text(qualname.get()), exc);
  } else {
    line += "<exception str() failed>";
  }
  line += '\n';
  write_stderr(line);
}

// ---- Reading one module ----------------------------------------------------------

// `textwrap.dedent(inspect.getsource(obj)).strip()` and a line feed.
std::string source_text(const Stdlib& lib, PyObject* obj) {
  Ref source = call(get_attr(lib.inspect.get(), names::getsource).get(), obj);
  Ref dedented = call(get_attr(lib.textwrap.get(), names::dedent).get(), source.get());
  Ref stripped = call_method(dedented.get(), names::strip);
  std::string text(to_text(stripped.get()));
  text += '\n';
  return text;
}

// Null without an annotation; a class's `__name__`; otherwise `str()`.
json::Value return_type(const Stdlib& lib, PyObject* function) {
  Ref signature = call(get_attr(lib.inspect.get(), names::signature).get(), function);
  Ref annotation = get_attr(signature.get(), names::return_annotation);
  Ref signature_class = get_attr(lib.inspect.get(), names::Signature);
  Ref empty = get_attr(signature_class.get(), names::empty);
  if (annotation.get() == empty.get()) return json::Value();
  Ref builtins = import_module("builtins");
  Ref is_class = call(get_attr(builtins.get(), names::isinstance).get(), annotation.get(),
                      reinterpret_cast<PyObject*>(&PyType_Type));
  Ref text = check_status(PyObject_IsTrue(is_class.get())) ? get_attr(annotation.get(), names::dunder_name)
                                                           : check(PyObject_Str(annotation.get()));
  return json::Value::string(to_text(text.get()));
}

// The record of one asset. The module text is moved in; the caller takes it
// back once the record is written, for the module's next record.
json::Value asset_record(const Stdlib& lib, PyObject* module, PyObject* member, json::Value& module_source,
                         std::string_view version) {
  json::Value metadata = python_to_json(get_attr(member, names::vorda_metadata).get());
  Ref function = undecorated(member);
  std::string function_source = source_text(lib, function.get());
  Ref function_name = get_attr(function.get(), names::dunder_name);
  std::string_view function_name_text = to_text(function_name.get());
  std::string path = source_path(lib, function.get(), NoSource::empty);
  json::Value returns = return_type(lib, function.get());
  Ref module_name = get_attr(module, names::dunder_name);
  std::string_view module_name_text = to_text(module_name.get());

  // Already in ascending key order.
  json::Members members;
  members.reserve(9);
  members.push_back({"decorator_metadata", std::move(metadata)});
  members.push_back({"file_path", json::Value::string(path)});
  members.push_back({"function_name", json::Value::string(function_name_text)});
  members.push_back({"function_source", json::Value::string(function_source)});
  members.push_back({"kind", json::Value::string("asset")});
  members.push_back({"module_path", json::Value::string(module_name_text)});
  members.push_back({"module_source", std::move(module_source)});
  members.push_back({"python_version", json::Value::string(version)});
  members.push_back({"return_type", std::move(returns)});
  return json::Value::object_sorted(std::move(members));
}

// ---- The report text ------------------------------------------------------------

// The report, written record by record straight into the str that is
// returned, as the writer would write the object {"assets": [records]}: a
// compact ASCII str grown in place (PyUnicode_Resize reallocates it, and a
// large block moves by remapping its pages), so the text is never copied
// and no record is kept once written. A record holding a byte above 0x7F
// (UTF-8 of a non-ASCII character) moves the text to a plain buffer, which
// is decoded into the str at the end.
class ReportText {
 public:
  ReportText() : str_(check(PyUnicode_New(kFirstSize, 127))) {
    text_ = json::Text(grow_str, this, data(), kFirstSize);
    text_.append("{\"assets\":[");
  }
  ReportText(const ReportText&) = delete;  // text_ grows through `this`
  ReportText& operator=(const ReportText&) = delete;

  void add(const json::Value& record) {
    if (records_++ != 0) text_.append(",");
    const std::size_t start = text_.size();
    // The module text repeats in every record of its module: escaped once.
    json::write(record, text_, memo_);
    if (!str_) return;
    // A copy of the module text was checked when it was first written.
    std::size_t copied = memo_.copied_at(), end = text_.size();
    if (copied == json::StringMemo::kNone) copied = end;
    const std::size_t after = std::min(end, copied + memo_.copied_size());
    if (!all_ascii(text_.data() + start, copied - start) || !all_ascii(text_.data() + after, end - after)) {
      leave_str();
    }
  }

  Ref finish() {
    text_.append("]}");
    if (!str_) return new_text(text_.view());
    const auto size = static_cast<Py_ssize_t>(text_.size());
    text_ = json::Text();
    PyObject* str = str_.release();
    if (PyUnicode_Resize(&str, size) < 0) {
      Py_DECREF(str);
      throw_pending();
    }
    return Ref::steal(str);
  }

 private:
  static constexpr std::size_t kFirstSize = std::size_t{1} << 16;

  char* data() { return static_cast<char*>(PyUnicode_DATA(str_.get())); }

  // Grows by a quarter, and maps the new pages at once: the report's peak
  // stays within a quarter of its size.
  static char* grow_str(void* owner, std::size_t, std::size_t n, std::size_t& capacity) {
    auto* self = static_cast<ReportText*>(owner);
    const std::size_t grown = std::max(n, capacity + capacity / 4);
    PyObject* str = self->str_.release();
    const int status = PyUnicode_Resize(&str, static_cast<Py_ssize_t>(grown));
    self->str_ = Ref::steal(str);  // unchanged on failure
    if (status < 0) throw_pending();
    json::Text::prefault(self->data() + capacity, self->data() + grown);
    capacity = grown;
    return self->data();
  }

  static bool all_ascii(const char* p, std::size_t n) {
    std::uint64_t high = 0;
    for (; n >= 8; p += 8, n -= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, 8);
      high |= word;
    }
    for (; n > 0; ++p, --n) high |= static_cast<unsigned char>(*p);
    return (high & 0x8080808080808080) == 0;
  }

  // From here on the text is UTF-8 in a buffer of its own.
  void leave_str() {
    json::Text own;
    own.append(text_.view());
    text_ = std::move(own);
    str_ = Ref();
  }

  Ref str_;  // the ASCII str written in place, until a record is not ASCII
  json::Text text_;
  json::StringMemo memo_;
  std::size_t records_ = 0;
};

void inspect_module(const Stdlib& lib, PyObject* module, std::string_view version, ReportText& report) {
  json::Value module_source = json::Value::string(source_text(lib, module));
  Ref members = call(get_attr(lib.inspect.get(), names::getmembers).get(), module);
  Ref iterator = check(PyObject_GetIter(members.get()));
  while (PyObject* next = PyIter_Next(iterator.get())) {
    Ref item = Ref::steal(next);
    if (!PyTuple_Check(next)) throw_cannot_convert(next, "PyTuple");
    Ref member = Ref::borrow(PyTuple_GetItem(next, 1));
    if (!member) throw_pending();
    if (!is_asset(member.get())) continue;
    json::Value record = asset_record(lib, module, member.get(), module_source, version);
    report.add(record);
    module_source = std::move(*record.find("module_source"));
  }
  if (PyErr_Occurred()) throw_pending();
}

}  // namespace

Ref inspect_modules(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* modules = bind(kSignature, args, nargs, kwnames)[0];
  std::vector<ModuleName> names = convert_argument("modules", [&] { return module_names(modules); });

  Stdlib lib;
  lib.importlib = import_module("importlib");
  lib.inspect = import_module("inspect");
  lib.textwrap = import_module("textwrap");
  lib.sys = import_module("sys");
  lib.pathlib = import_module("pathlib");
  std::string version = version_text(lib.sys.get());

  ReportText report;
  for (ModuleName& name : names) {
    Ref import = get_attr(lib.importlib.get(), names::import_module);
    PyObject* module = PyObject_CallOneArg(import.get(), name.object.get());
    if (module == nullptr) {
      // Whatever else the import raised, SystemExit included, only skips
      // the name; Ctrl-C stops the call.
      if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) throw_pending();
      PyError error = PyError::fetch();
      report_skipped(name.text, error);
      continue;
    }
    Ref owned = Ref::steal(module);
    inspect_module(lib, module, version, report);
  }
  return report.finish();
}

}  // namespace vorda
