// JSON values, the compact writer and the strict reader.
//
// Plain C++: nothing here touches the interpreter, so values may be built,
// written and read on any thread and outlive the call that made them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vorda::json {

enum class Kind : std::uint8_t { Null, Bool, UInt, Int, Float, String, Array, Object };

class Value;
struct Member;
using Array = std::vector<Value>;
// Object members, kept in ascending unsigned byte order of their keys, keys unique.
using Members = std::vector<Member>;

class Value {
 public:
  Value() noexcept : kind_(Kind::Null), u_(0) {}
  Value(const Value& other);
  Value(Value&& other) noexcept : kind_(other.kind_), u_(other.u_) {
    other.kind_ = Kind::Null;
    other.u_ = 0;
  }
  Value& operator=(const Value& other);
  Value& operator=(Value&& other) noexcept {
    if (this != &other) {
      if (owns_heap()) destroy();
      kind_ = other.kind_;
      u_ = other.u_;
      other.kind_ = Kind::Null;
      other.u_ = 0;
    }
    return *this;
  }
  ~Value() {
    if (owns_heap()) destroy();
  }

  static Value boolean(bool b) noexcept {
    Value v;
    v.kind_ = Kind::Bool;
    v.b_ = b;
    return v;
  }
  static Value uint(std::uint64_t n) noexcept {
    Value v;
    v.kind_ = Kind::UInt;
    v.u_ = n;
    return v;
  }
  // Non-negative numbers are stored as unsigned, so each number has one form.
  static Value integer(std::int64_t n) noexcept {
    if (n >= 0) return uint(static_cast<std::uint64_t>(n));
    Value v;
    v.kind_ = Kind::Int;
    v.i_ = n;
    return v;
  }
  // A finite double; callers never pass NaN or infinity.
  static Value real(double d) noexcept {
    Value v;
    v.kind_ = Kind::Float;
    v.d_ = d;
    return v;
  }
  static Value string(std::string_view text);
  static Value array(Array&& items);
  // Sorts the members by key; of members with equal keys the later one wins.
  static Value object(Members&& members);
  // Members already sorted and unique (the caller guarantees it).
  static Value object_sorted(Members&& members);

  Kind kind() const noexcept { return kind_; }
  bool is_null() const noexcept { return kind_ == Kind::Null; }

  bool as_bool() const noexcept { return b_; }
  std::uint64_t as_uint() const noexcept { return u_; }
  std::int64_t as_int() const noexcept { return i_; }
  double as_float() const noexcept { return d_; }
  std::string_view as_string() const noexcept;
  const Array& as_array() const noexcept { return *a_; }
  Array& as_array() noexcept { return *a_; }
  const Members& as_object() const noexcept { return *o_; }

  // The member of an object with this key, or null when absent.
  const Value* find(std::string_view key) const noexcept;

  // Structural equality; floats compare by bit pattern so -0.0 != 0.0.
  friend bool operator==(const Value& a, const Value& b) noexcept;

 private:
  // A string's bytes live in one block: its length, then the bytes and a NUL.
  struct StringRep {
    std::size_t size;
    char data[1];
  };

  // Strings, arrays and objects own a heap block.
  bool owns_heap() const noexcept { return kind_ >= Kind::String; }
  void destroy() noexcept;

  Kind kind_;
  union {
    bool b_;
    std::uint64_t u_;
    std::int64_t i_;
    double d_;
    StringRep* s_;  // null for the empty string
    Array* a_;
    Members* o_;
  };
};

struct Member {
  std::string key;
  Value value;
};

// Compact text: no whitespace, members in key order, minimal escaping.
void write(const Value& value, std::string& out);
std::string write(const Value& value);
// The float layout used for every float the writer emits.
void write_float(double d, std::string& out);

// A reading failure: one of the reader's fixed messages and where it was found.
struct ReadError {
  const char* message = nullptr;
  std::size_t line = 0;
  std::size_t column = 0;
  // "message at line L column C" (the message alone when line is 0).
  std::string describe() const;
};

// Reads exactly one JSON value from UTF-8 text. On failure `out` is left
// unspecified and `error` says why.
bool read(std::string_view text, Value& out, ReadError& error);

}  // namespace vorda::json
