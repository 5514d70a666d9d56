#include "materialize.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "declaration.hpp"
#include "json.hpp"
#include "names.hpp"

namespace vorda {
namespace {

constexpr const char* kParams[] = {"module_name", "function_name", "output_dir", "input_kwargs_json"};
constexpr SignatureOf kSignature("materialize_asset", kParams, 4, 3);

// ---- The two files on disk -------------------------------------------------------
//
// Each file is written under a temporary name in the output directory,
// flushed to disk and renamed over its name, so it appears whole or not at
// all, and a link or FIFO of that name is replaced, never followed. All of
// it goes through one descriptor of the directory opened at the start, so
// a later change of the working directory does not matter. A previous
// result.json is removed before the asset runs; the value and the record
// are renamed in one step under a lock on the directory, so concurrent runs
// leave a value.json and a result.json of the same run. Blocking calls run
// without the interpreter lock; nothing in between calls into Python.

class Fd {
 public:
  explicit Fd(int fd) noexcept : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const noexcept { return fd_; }

 private:
  int fd_;
};

// OSError (the subclass that the error number selects) naming the path.
[[noreturn]] void throw_os_error(int error, PyObject* path) {
  Ref name = check(PyObject_Str(path));
  errno = error;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.get());
  throw_pending();
}

// fsync, where the file system can flush at all (some cannot for a directory).
int flush(int fd) noexcept {
  if (::fsync(fd) == 0 || errno == EINVAL) return 0;
  return errno;
}

// Whether the caller makes the files durable itself: the vorda package's
// `_defer_flush` is True (that object, so no user code runs). Looked up at
// every call; anything else, a failed lookup included, keeps the flushes.
bool flush_deferred() {
  PyObject* package = PyImport_GetModule(names::vorda.get());
  if (package == nullptr) {
    PyErr_Clear();
    return false;
  }
  Ref owned = Ref::steal(package);
  PyObject* flag = PyObject_GetAttr(package, names::defer_flush.get());
  if (flag == nullptr) {
    PyErr_Clear();
    return false;
  }
  Ref held = Ref::steal(flag);
  return flag == Py_True;
}

// A file written under a temporary name, waiting to be renamed over its
// real name. Removed when the run does not get that far.
class Staged {
 public:
  Staged(int dir, bool durable) noexcept : dir_(dir), durable_(durable) {}
  Staged(const Staged&) = delete;
  Staged& operator=(const Staged&) = delete;
  ~Staged() { discard(); }

  bool ready() const noexcept { return name_[0] != 0; }
  const char* name() const noexcept { return name_; }
  void discard() noexcept {
    if (ready()) ::unlinkat(dir_, name_, 0);
    name_[0] = 0;
  }
  void renamed() noexcept { name_[0] = 0; }

  // Creates a new file next to `target` and writes and flushes all of
  // `bytes`; an error number on failure. Runs without the interpreter lock.
  int write(const char* target, std::string_view bytes) noexcept {
    static std::atomic<std::uint64_t> sequence{0};
    int fd = -1;
    do {
      // O_EXCL: an existing name, link or not, is never opened.
      std::snprintf(name_, sizeof name_, ".%s.%ld.%llu.tmp", target, static_cast<long>(::getpid()),
                    static_cast<unsigned long long>(sequence++));
      fd = ::openat(dir_, name_, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EEXIST);
    if (fd < 0) {
      const int error = errno;
      name_[0] = 0;
      return error;
    }
    Fd file(fd);
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
      const ssize_t n = ::write(fd, p, left);
      if (n < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      p += n;
      left -= static_cast<std::size_t>(n);
    }
    if (durable_) {
      if (int error = flush(fd)) return error;
    }
    return 0;
  }

 private:
  int dir_;
  bool durable_;
  char name_[64] = {};
};

class OutputDir {
 public:
  // Opens the directory that `text` names (made already) and removes a
  // previous result.json, so no stale success outlives a run that fails.
  // `durable`: each step is flushed to disk before the next (else renames
  // still keep every file whole against a crash of the process, and the
  // caller flushes).
  OutputDir(std::string_view text, PyObject* output_text, PyObject* result_path, bool durable)
      : dir_(open_dir(text, output_text)),
        durable_(durable),
        value_(dir_.get(), durable),
        record_(dir_.get(), durable) {
    if (::unlinkat(dir_.get(), "result.json", 0) == 0) {
      // Gone for good before anything of this run can appear.
      if (int error = without_lock([&] { return sync_dir(); })) throw_os_error(error, result_path);
    } else if (errno != ENOENT && errno != EISDIR) {
      // A directory of that name is no record; anything else stops the run.
      throw_os_error(errno, result_path);
    }
  }

  // Writes value.json's content under a temporary name.
  void stage_value(std::string_view bytes, PyObject* value_path) {
    value_.discard();
    if (int error = without_lock([&] { return value_.write("value.json", bytes); })) {
      value_.discard();
      throw_os_error(error, value_path);
    }
    value_path_ = Ref::borrow(value_path);
  }

  // Writes result.json, with the staged value.json renamed first.
  void publish(std::string_view record, PyObject* result_path) {
    record_.discard();
    if (int error = without_lock([&] { return record_.write("result.json", record); })) {
      record_.discard();
      throw_os_error(error, result_path);
    }
    lock();
    bool value_failed = false;
    const int error = without_lock([&] {
      int e = 0;
      if (value_.ready()) {
        if (::renameat(dir_.get(), value_.name(), dir_.get(), "value.json") != 0) {
          e = errno;
        } else {
          value_.renamed();
          // Durable before the record that names it can be.
          e = sync_dir();
        }
        value_failed = e != 0;
      }
      if (e == 0) {
        if (::renameat(dir_.get(), record_.name(), dir_.get(), "result.json") != 0) {
          e = errno;
        } else {
          record_.renamed();
          e = sync_dir();
        }
      }
      ::flock(dir_.get(), LOCK_UN);
      return e;
    });
    if (error != 0) {
      value_.discard();
      record_.discard();
      throw_os_error(error, value_failed ? value_path_.get() : result_path);
    }
  }

 private:
  static int open_dir(std::string_view text, PyObject* output_text) {
    std::string path(text.empty() ? std::string_view(".") : text);
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) throw_os_error(errno, output_text);
    return fd;
  }

  // Runs a blocking call that needs no Python without the interpreter lock.
  template <class F>
  static int without_lock(F&& call) {
    PyThreadState* saved = PyEval_SaveThread();
    const int result = call();
    PyEval_RestoreThread(saved);
    return result;
  }

  // Waits for the directory's lock; a signal handler that raises ends the
  // wait. A file system without locks is used unlocked.
  void lock() {
    for (;;) {
      int error = without_lock([&] { return ::flock(dir_.get(), LOCK_EX) == 0 ? 0 : errno; });
      if (error != EINTR) return;
      if (PyErr_CheckSignals() < 0) throw_pending();
    }
  }

  int sync_dir() const noexcept { return durable_ ? flush(dir_.get()) : 0; }

  Fd dir_;
  bool durable_;
  Staged value_;
  Staged record_;
  Ref value_path_;
};

// ---- The run ------------------------------------------------------------------------

// What the guarded run needs from the earlier stages.
struct Run {
  const Stdlib& lib;
  std::string_view module_name;
  std::string_view function_name;
  PyObject* module_text;    // exact str
  PyObject* function_text;  // exact str
  PyObject* kwargs_text;    // exact str, or null when no keyword arguments are given
  PyObject* output_path;    // pathlib.Path of the output directory
  PyObject* result_path;    // output_path / "result.json"
  OutputDir& files;
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

// Everything from the import of the asset's module to the success record.
// Any exception thrown out of here is recorded as the run's failure.
void run_asset(const Run& run) {
  Ref module = call(get_attr(run.lib.importlib.get(), names::import_module).get(), run.module_text);
  Ref target = get_attr(module.get(), run.function_text);
  Ref callable = undecorated(target.get());

  Ref value;
  if (run.kwargs_text == nullptr) {
    value = check(PyObject_CallNoArgs(callable.get()));
  } else {
    Ref kwargs = call(get_attr(run.lib.json.get(), names::loads).get(), run.kwargs_text);
    if (!PyDict_Check(kwargs.get())) throw_cannot_convert(kwargs.get(), "PyDict");
    value = call_with_kwargs(callable.get(), kwargs.get());
  }

  Ref value_path = call_method(run.output_path, names::dunder_truediv, names::value_json.get());
  Ref encoded = call(get_attr(run.lib.json.get(), names::dumps).get(), value.get());
  if (!PyUnicode_Check(encoded.get())) {
    Ref type_name = check(PyType_GetName(Py_TYPE(encoded.get())));
    throw PyError(PyExc_TypeError, check(PyUnicode_FromFormat("data must be str, not %U", type_name.get())));
  }
  run.files.stage_value(to_text(encoded.get()), value_path.get());

  Ref value_path_text = check(PyObject_Str(value_path.get()));
  Ref signature = call(get_attr(run.lib.inspect.get(), names::signature).get(), callable.get());
  Ref signature_text = check(PyObject_Str(signature.get()));
  Ref type_name = get_attr(reinterpret_cast<PyObject*>(Py_TYPE(value.get())), names::dunder_name);

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
  run.files.publish(json::write(json::Value::object(std::move(members))), run.result_path);
}

// The failure record of the exception that ended the run. Reading the type's
// names may raise; that exception goes to the caller instead.
json::Value failure_record(PyError& error) {
  PyObject* exc = error.value();
  if (exc == nullptr) throw InternalError("failed run without an exception");
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));

  Ref qualname = get_attr(type, names::dunder_qualname);
  std::string message = describe_exception(std::string(to_text(qualname.get())), exc);
  Ref name = get_attr(type, names::dunder_name);
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
  auto [module_arg, function_arg, output_arg, kwargs_arg] = bind(kSignature, args, nargs, kwnames);
  std::string_view module_name = text_argument("module_name", module_arg);
  std::string_view function_name = text_argument("function_name", function_arg);
  std::string_view output_dir = text_argument("output_dir", output_arg);
  PyObject* kwargs_given = given(kwargs_arg);
  std::string_view kwargs_json = kwargs_given ? text_argument("input_kwargs_json", kwargs_given) : std::string_view();

  Ref module_text = exact_text(module_arg, module_name);
  Ref function_text = exact_text(function_arg, function_name);
  Ref output_text = exact_text(output_arg, output_dir);
  Ref kwargs_text = kwargs_given ? exact_text(kwargs_given, kwargs_json) : Ref();

  Stdlib lib;
  lib.importlib = import_module("importlib");
  lib.inspect = import_module("inspect");
  lib.json = import_module("json");
  lib.pathlib = import_module("pathlib");

  Ref output_path = call(get_attr(lib.pathlib.get(), names::Path).get(), output_text.get());
  {
    Ref options = check(PyDict_New());
    check_status(PyDict_SetItem(options.get(), names::parents.get(), Py_True));
    check_status(PyDict_SetItem(options.get(), names::exist_ok.get(), Py_True));
    call_with_kwargs(get_attr(output_path.get(), names::mkdir).get(), options.get());
  }
  Ref result_path = call_method(output_path.get(), names::dunder_truediv, names::result_json.get());
  OutputDir files(output_dir, output_text.get(), result_path.get(), !flush_deferred());

  const Run run{
      .lib = lib,
      .module_name = module_name,
      .function_name = function_name,
      .module_text = module_text.get(),
      .function_text = function_text.get(),
      .kwargs_text = kwargs_text.get(),
      .output_path = output_path.get(),
      .result_path = result_path.get(),
      .files = files,
  };
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
  files.publish(json::write(record), result_path.get());

  lib.sys = import_module("sys");
  Ref code = check(PyLong_FromLong(1));
  call(get_attr(lib.sys.get(), names::exit).get(), code.get());
  return Ref::borrow(Py_None);
}

}  // namespace vorda
