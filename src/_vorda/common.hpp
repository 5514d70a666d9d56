// Helpers every part of the extension shares: owned references, Python
// exceptions travelling through C++ code, the message forms, text
// conversion, argument binding and the entry wrapper.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace vorda {

// Owns one strong reference (or none).
class Ref {
 public:
  Ref() noexcept = default;
  static Ref steal(PyObject* o) noexcept { return Ref(o); }
  static Ref borrow(PyObject* o) noexcept {
    Py_XINCREF(o);
    return Ref(o);
  }
  Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ~Ref() {
    // Released only with the interpreter lock held. The one destructor run
    // without it is on a daemon thread that the interpreter ends at exit
    // by unwinding its stack: what that thread owned is left alone rather
    // than released under the finalizing thread's feet.
    if (p_ != nullptr && (!_Py_IsFinalizing() || PyGILState_Check())) Py_DECREF(p_);
  }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* o) noexcept : p_(o) {}
  PyObject* p_ = nullptr;
};

// A Python exception on its way through C++ code. It is taken out of the
// interpreter where it arises and put back by the entry wrapper, so no
// pending exception is disturbed by what runs while the stack unwinds.
class PyError {
 public:
  // Takes the pending exception; SystemError when none is set.
  static PyError fetch() noexcept;
  // A new exception of `type` (borrowed) with this message.
  PyError(PyObject* type, Ref message) noexcept;

  PyError(PyError&&) noexcept = default;
  PyError& operator=(PyError&&) noexcept = default;

  // Hands the exception back to the interpreter; this object is empty afterwards.
  void restore() noexcept;
  bool matches(PyObject* exc_type) const noexcept;
  // The exception instance, normalised on first use (borrowed).
  PyObject* value();

 private:
  PyError() noexcept = default;
  Ref type_, value_, traceback_;
};

// A state the module's own code treats as impossible. Raised in Python as
// the internal-failure exception, which derives from BaseException.
class InternalError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

[[noreturn]] void throw_pending();

// New reference from a C API call, throwing when it failed.
inline Ref check(PyObject* o) {
  if (o == nullptr) throw_pending();
  return Ref::steal(o);
}
inline int check_status(int rc) {
  if (rc < 0) throw_pending();
  return rc;
}

// A process-wide interned name, created on first use and never freed.
class Name {
 public:
  constexpr explicit Name(const char* text) noexcept : text_(text) {}
  PyObject* get();
  const char* text() const noexcept { return text_; }

 private:
  const char* text_;
  PyObject* object_ = nullptr;
};

// ---- Message forms -------------------------------------------------------

// The qualified name of the object's type, or "<failed to extract type name>".
Ref type_qualname(PyObject* obj) noexcept;
// TypeError "'{}' object cannot be converted to '{}'".
[[noreturn]] void throw_cannot_convert(PyObject* obj, const char* kind);
// An exception of the given type with a fixed message.
[[noreturn]] void throw_message(PyObject* exc_type, const char* message);
// "{prefix}{detail}" as `exc_type`, the detail being a reader error or similar.
[[noreturn]] void throw_prefixed(PyObject* exc_type, const char* prefix, std::string_view detail);

// ---- Text ----------------------------------------------------------------

// The UTF-8 text of a str (or str subclass); valid while `obj` lives.
// Non-str values fail with the "PyString" TypeError, lone surrogates with
// the interpreter's UnicodeEncodeError.
std::string_view to_text(PyObject* obj);
Ref new_text(std::string_view text);
// UTF-8 of a str, turning each lone surrogate into U+FFFD characters.
std::string lossy_text(PyObject* str);

// ---- Argument binding ----------------------------------------------------

struct Signature {
  const char* function;  // Python name, used as "name()" in messages
  const char* const* params;
  std::size_t count;       // all parameters
  std::size_t positional;  // the first `positional` may be given by position
  std::size_t required;    // the first `required` must be given
};

// A function's signature, its parameter count taken from its array of
// names. Made at compile time; a signature that requires more parameters
// than it takes by position, or takes more than it has, does not compile.
template <std::size_t N>
struct SignatureOf : Signature {
  consteval SignatureOf(const char* function_name, const char* const (&names)[N], std::size_t positional_count,
                        std::size_t required_count)
      : Signature{function_name, names, N, positional_count, required_count} {
    if (required_count > positional_count || positional_count > N) invalid_signature();
  }

 private:
  static void invalid_signature() {}  // not constexpr: reaching it stops compilation
};

// Binds fast-call arguments to parameters: sets out[0] to out[sig.count - 1],
// missing ones to null (borrowed).
void bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

// The arguments of a call, one slot per parameter of `sig`.
template <std::size_t N>
std::array<PyObject*, N> bind(const SignatureOf<N>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, N> out;  // every slot set by bind_arguments
  bind_arguments(sig, args, nargs, kwnames, out.data());
  return out;
}

// An optional parameter's value: null when omitted or given as None.
inline PyObject* given(PyObject* arg) noexcept { return arg == Py_None ? nullptr : arg; }

// Runs the conversion of a declared parameter; a TypeError it raises is
// replaced by "argument '{param}': {message}", keeping its cause.
template <class F>
auto convert_argument(const char* param, F&& convert) -> decltype(convert());
[[noreturn]] void rethrow_as_argument_error(const char* param, PyError&& error);

template <class F>
auto convert_argument(const char* param, F&& convert) -> decltype(convert()) {
  try {
    return convert();
  } catch (PyError& error) {
    if (!error.matches(PyExc_TypeError)) throw;
    rethrow_as_argument_error(param, std::move(error));
  }
}

// A text parameter's text; non-str values fail as that argument's TypeError.
std::string_view text_argument(const char* param, PyObject* value);

// ---- Calling Python ------------------------------------------------------

Ref import_module(const char* name);
Ref get_attr(PyObject* obj, Name& name);
Ref get_attr(PyObject* obj, PyObject* name);

template <class... Args>
Ref call(PyObject* callable, Args... args) {
  PyObject* argv[] = {nullptr, args...};
  return check(PyObject_Vectorcall(callable, argv + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

template <class... Args>
Ref call_method(PyObject* obj, Name& name, Args... args) {
  PyObject* argv[] = {obj, args...};
  return check(
      PyObject_VectorcallMethod(name.get(), argv, (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// ---- Shared by the roles -------------------------------------------------

// The standard modules a call works with. Each call imports the ones it
// needs at its start, in its own order.
struct Stdlib {
  Ref importlib, inspect, json, pathlib, sys, textwrap;
};

// What `source_path` gives when `inspect.getsourcefile` raises.
enum class NoSource : std::uint8_t { raise, empty };

// `str(pathlib.Path(inspect.getsourcefile(function)).resolve())`, through
// `lib.inspect` and `lib.pathlib`.
std::string source_path(const Stdlib& lib, PyObject* function, NoSource no_source);

// "{type_name}: {str(exc)}", each lone surrogate of the text made U+FFFD,
// or "{type_name}: <exception str() failed>" when str() raises.
std::string describe_exception(std::string type_name, PyObject* exc);

// ---- Entry wrapper -------------------------------------------------------

void raise_internal(const char* description);

// Runs one entry's body; every failure becomes a Python exception.
//
// Entries, and every function the interpreter calls, are not noexcept: at
// exit the interpreter ends daemon threads still running Python code with
// pthread_exit, whose forced unwinding must pass through vorda's frames
// (stopping it, or a noexcept frame in its way, aborts the process).
template <class F>
PyObject* guarded(F&& body) {
  try {
    return body().release();
  } catch (PyError& error) {
    error.restore();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    raise_internal(error.what());
  } catch (...) {
    // Not a C++ exception: the interpreter ending this thread. It passes on.
    if (!std::current_exception()) throw;
    raise_internal("unknown internal failure");
  }
  return nullptr;
}

using FastBody = Ref (*)(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

template <FastBody Body>
PyObject* fastcall_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] { return Body(module, args, nargs, kwnames); });
}

}  // namespace vorda
