// JSON values, the compact writer and the strict reader.
//
// Plain C++: nothing here touches the interpreter, so values may be built,
// written and read on any thread and outlive the call that made them.
//
// A value is 16 bytes. Strings of up to 14 bytes are kept inside it; a
// longer string, an array and an object each own exactly one heap block
// (an object's block holds its members and all their key bytes). Values are
// relocatable: moving one is a 16-byte copy, so containers move them in bulk.
// The reader takes the blocks of one document from an Arena.
#pragma once

#include <atomic>
#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "json_bytes.hpp"

namespace vorda::json {

enum class Kind : std::uint8_t { Null, Bool, UInt, Int, Float, String, Array, Object };

class Value;
struct Entry;
class BlockFrees;

// Blocks for the values of one document, cut from a few large chunks instead
// of one malloc each. Every block still belongs to its value alone: a chunk
// counts the blocks alive in it and is freed with the last of them, so a
// document is freed in a few calls, and a value moved out of it keeps only
// its own chunk. Used by one thread while it builds; blocks may be freed on
// any thread.
class Arena {
 public:
  // `text_size`: the size of the text read, from which the first chunk's
  // size is guessed.
  explicit Arena(std::size_t text_size) noexcept;
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;
  ~Arena();

  // A block of `bytes` (8-byte aligned) behind its owner header.
  void* allocate(std::size_t bytes);

  struct Chunk;

 private:
  void retire() noexcept;
  void* next_chunk(std::size_t bytes);

  Chunk* chunk_ = nullptr;
  char* next_ = nullptr;
  char* end_ = nullptr;
  std::uint64_t taken_ = 0;  // blocks cut from chunk_
  std::size_t chunk_size_;
};

// The elements of an array: a vector held by a single pointer to one block
// (size, capacity, then the elements); an empty array owns nothing.
class Array {
 public:
  using value_type = Value;
  using size_type = std::size_t;
  using iterator = Value*;
  using const_iterator = const Value*;

  Array() noexcept = default;
  Array(const Array& other);
  Array(Array&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}
  Array& operator=(const Array& other);
  Array& operator=(Array&& other) noexcept;
  ~Array() { release(); }

  std::size_t size() const noexcept { return block_ ? block_->size : 0; }
  std::size_t capacity() const noexcept { return block_ ? block_->capacity : 0; }
  bool empty() const noexcept { return size() == 0; }
  Value* data() noexcept { return items(block_); }
  const Value* data() const noexcept { return items(block_); }
  Value* begin() noexcept { return data(); }
  const Value* begin() const noexcept { return data(); }
  Value* end() noexcept;
  const Value* end() const noexcept;
  Value& operator[](std::size_t i) noexcept;
  const Value& operator[](std::size_t i) const noexcept;
  Value& front() noexcept { return (*this)[0]; }
  Value& back() noexcept { return (*this)[size() - 1]; }

  void reserve(std::size_t n);
  void push_back(Value&& v);
  void push_back(const Value& v);
  void clear() noexcept;

  // Takes the n values at `first` by bitwise relocation into a new array of
  // exactly that size; the caller must neither use nor destroy them again.
  static Array relocate(Value* first, std::size_t n, Arena* arena = nullptr);

  friend bool operator==(const Array& a, const Array& b) noexcept;

 private:
  friend class Value;
  struct Block {
    std::size_t size;
    std::size_t capacity;
  };
  static Value* items(Block* b) noexcept { return b ? reinterpret_cast<Value*>(b + 1) : nullptr; }
  void grow(std::size_t need);
  void release() noexcept;
  void release(BlockFrees& frees) noexcept;

  Block* block_ = nullptr;
};

// An object's members as stored: ascending unsigned byte order of keys, keys
// unique. Each key views bytes kept in the object's own block.
class Object {
 public:
  using value_type = Entry;
  using size_type = std::size_t;
  using const_iterator = const Entry*;

  Object() noexcept = default;
  Object(const Object& other);
  Object(Object&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}
  Object& operator=(const Object& other);
  Object& operator=(Object&& other) noexcept;
  ~Object() { release(); }

  std::size_t size() const noexcept { return block_ ? block_->size : 0; }
  bool empty() const noexcept { return size() == 0; }
  const Entry* begin() const noexcept { return entries(); }
  const Entry* end() const noexcept;
  const Entry& operator[](std::size_t i) const noexcept;

  // The member's value with this key, or null when absent.
  const Value* find(std::string_view key) const noexcept;

  // Building: room for `members` members whose keys hold `key_bytes` bytes
  // in all; then exactly `members` calls of append, in ascending key order
  // without repeats, before the object is compared, copied or destroyed.
  static Object with_capacity(std::size_t members, std::size_t key_bytes, Arena* arena = nullptr);
  void append(std::string_view key, Value&& value) noexcept;

  friend bool operator==(const Object& a, const Object& b) noexcept;

 private:
  friend class Value;
  struct Block {
    std::size_t size;
    std::size_t capacity;
    char* next_key;  // where the next appended key's bytes go
  };
  Entry* entries() const noexcept { return block_ ? reinterpret_cast<Entry*>(block_ + 1) : nullptr; }
  // Every member made room for has been appended.
  bool complete() const noexcept { return block_ == nullptr || block_->size == block_->capacity; }
  void release() noexcept;
  void release(BlockFrees& frees) noexcept;

  Block* block_ = nullptr;
};

struct Member;
// Object members while an object is built by hand, in any order.
using Members = std::vector<Member>;

class Value {
 public:
  Value() noexcept : tag_(0), u_(0) {}
  Value(const Value& other);
  Value(Value&& other) noexcept { take(other); }
  Value& operator=(const Value& other);
  Value& operator=(Value&& other) noexcept {
    if (this != &other) {
      if (owns_heap()) destroy();
      take(other);
    }
    return *this;
  }
  ~Value() {
    if (owns_heap()) destroy();
  }

  static Value boolean(bool b) noexcept {
    Value v;
    v.tag_ = tag(Kind::Bool);
    v.u_ = b ? 1 : 0;
    return v;
  }
  static Value uint(std::uint64_t n) noexcept {
    Value v;
    v.tag_ = tag(Kind::UInt);
    v.u_ = n;
    return v;
  }
  // Non-negative numbers are stored as unsigned, so each number has one form.
  static Value integer(std::int64_t n) noexcept {
    if (n >= 0) return uint(static_cast<std::uint64_t>(n));
    Value v;
    v.tag_ = tag(Kind::Int);
    v.i_ = n;
    return v;
  }
  // A finite double; callers never pass NaN or infinity.
  static Value real(double d) noexcept {
    Value v;
    v.tag_ = tag(Kind::Float);
    v.d_ = d;
    return v;
  }
  static inline Value string(std::string_view text, Arena* arena = nullptr);
  static Value array(Array&& items) noexcept;
  // Sorts the members by key; of members with equal keys the later one wins.
  static Value object(Members&& members);
  // Members already sorted and unique (the caller guarantees it).
  static Value object_sorted(Members&& members);
  static Value object_sorted(Object&& members) noexcept;

  Kind kind() const noexcept { return static_cast<Kind>(tag_ & 0xFF); }
  bool is_null() const noexcept { return kind() == Kind::Null; }

  bool as_bool() const noexcept { return u_ != 0; }
  std::uint64_t as_uint() const noexcept { return u_; }
  std::int64_t as_int() const noexcept { return i_; }
  double as_float() const noexcept { return d_; }
  std::string_view as_string() const noexcept {
    if (small() != kHeapString) return {inline_bytes(), small()};
    return {s_->data, s_->size};
  }
  const Array& as_array() const noexcept { return a_; }
  Array& as_array() noexcept { return a_; }
  const Object& as_object() const noexcept { return o_; }

  // The member of an object with this key, or null when absent.
  const Value* find(std::string_view key) const noexcept { return kind() == Kind::Object ? o_.find(key) : nullptr; }
  // The same, to change or take the member's value (its key stays).
  Value* find(std::string_view key) noexcept { return const_cast<Value*>(std::as_const(*this).find(key)); }

  // Structural equality; floats compare by bit pattern so -0.0 != 0.0.
  friend bool operator==(const Value& a, const Value& b) noexcept;

 private:
  friend class Array;
  friend class Object;

  static constexpr std::size_t kInlineMax = 14;
  static constexpr std::uint8_t kHeapString = 0xFF;

  // A long string's block: its length, then the bytes.
  struct StringRep {
    std::size_t size;
    char data[1];
  };

  static constexpr std::uint64_t tag(Kind k) noexcept { return static_cast<std::uint64_t>(k); }
  std::uint8_t small() const noexcept { return static_cast<std::uint8_t>(tag_ >> 8); }

  // Inline string bytes run from byte 2 to the end of the value.
  static_assert(std::endian::native == std::endian::little);
  const char* inline_bytes() const noexcept { return reinterpret_cast<const char*>(this) + 2; }
  char* inline_bytes() noexcept { return reinterpret_cast<char*>(this) + 2; }

  bool owns_heap() const noexcept {
    return kind() >= Kind::Array || (tag_ & 0xFFFF) == (tag(Kind::String) | std::uint64_t{kHeapString} << 8);
  }
  // A string too long to be kept inside the value.
  static Value heap_string(std::string_view text, Arena* arena);
  void destroy() noexcept;
  // The same, with the blocks' frees gathered in `frees`.
  void destroy(BlockFrees& frees) noexcept;
  // Bitwise move; `other` is left null.
  void take(Value& other) noexcept;

  // Written and read as whole words, so that a value stored just before it
  // is moved (as the reader does all the time) forwards from the store
  // buffer instead of stalling. Byte 0 is the kind; for a string byte 1 is
  // its inline length or kHeapString, and bytes 2 to 7 its first inline bytes.
  std::uint64_t tag_;
  union {
    std::uint64_t u_;
    std::int64_t i_;
    double d_;
    StringRep* s_;
    Array a_;
    Object o_;
  };
};

static_assert(sizeof(Value) == 16);

inline void Value::take(Value& other) noexcept {
  std::uint64_t tag = other.tag_;
#if defined(__GNUC__)
  // Two 8-byte copies, not one 16-byte copy, which could not forward from
  // the two stores that just wrote the value.
  asm("" : "+r"(tag));
#endif
  tag_ = tag;
  u_ = other.u_;
  other.tag_ = 0;
}

struct Member {
  std::string key;
  Value value;
};

struct Entry {
  std::string_view key;
  Value value;
};

inline void Object::append(std::string_view key, Value&& value) noexcept {
  // Room was made for it, and keys come in ascending order without repeats.
  assert(block_ != nullptr && block_->size < block_->capacity);
  assert(block_->size == 0 || entries()[block_->size - 1].key < key);
  char* at = block_->next_key;
  copy_bytes(at, key.data(), key.size());
  block_->next_key = at + key.size();
  new (entries() + block_->size) Entry{std::string_view(at, key.size()), std::move(value)};
  ++block_->size;
}

inline Value Value::string(std::string_view text, Arena* arena) {
  const std::size_t n = text.size();
  if (n > kInlineMax) return heap_string(text, arena);
  // Both words are put together in registers and stored whole.
  Value v;
  const char* p = text.data();
  const std::uint64_t head = load_upto8(p, n < 6 ? n : 6);
  v.tag_ = tag(Kind::String) | (std::uint64_t{n} << 8) | (head << 16);
  v.u_ = n > 6 ? load_upto8(p + 6, n - 6) : 0;
  return v;
}

inline Value Value::array(Array&& items) noexcept {
  Value v;
  new (&v.a_) Array(std::move(items));
  v.tag_ = tag(Kind::Array);
  return v;
}

inline Value Value::object_sorted(Object&& members) noexcept {
  Value v;
  new (&v.o_) Object(std::move(members));
  v.tag_ = tag(Kind::Object);
  return v;
}

inline Value* Array::end() noexcept { return data() + size(); }
inline const Value* Array::end() const noexcept { return data() + size(); }
inline Value& Array::operator[](std::size_t i) noexcept { return data()[i]; }
inline const Value& Array::operator[](std::size_t i) const noexcept { return data()[i]; }
inline const Entry* Object::end() const noexcept { return entries() + size(); }
inline const Entry& Object::operator[](std::size_t i) const noexcept { return entries()[i]; }

// A byte buffer the writer appends to: malloc'd and grown by realloc, never
// cleared first, so a large buffer grows by remapping its pages rather than
// by zero-filling and copying them. A Text may instead live in storage that
// its owner provides and grows (a Python str being written in place).
class Text {
 public:
  // Grows the owner's storage to at least `n` bytes, keeping the first
  // `size` bytes; sets `capacity` and returns where the bytes now are.
  using Grow = char* (*)(void* owner, std::size_t size, std::size_t n, std::size_t& capacity);

  Text() noexcept = default;
  // A Text in the owner's storage (`data`, `capacity` bytes), which it never frees.
  Text(Grow grow, void* owner, char* data, std::size_t capacity) noexcept
      : data_(data), capacity_(capacity), grow_(grow), owner_(owner) {}
  Text(Text&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)),
        grow_(std::exchange(other.grow_, nullptr)),
        owner_(std::exchange(other.owner_, nullptr)) {}
  Text& operator=(Text&& other) noexcept;
  Text(const Text&) = delete;
  Text& operator=(const Text&) = delete;
  ~Text();

  char* data() noexcept { return data_; }
  const char* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  std::string_view view() const noexcept { return {data_, size_}; }
  // Room for at least n bytes in all.
  void reserve(std::size_t n);
  // Appends bytes (for text made outside the writer).
  void append(std::string_view bytes);
  void clear() noexcept { size_ = 0; }
  // Maps the pages of [from, to) at once where that stretch is large (fresh
  // pages would otherwise fault in one at a time as they are written).
  static void prefault(char* from, char* to) noexcept;

 private:
  friend class TextWriter;
  void release() noexcept;
  // Room for at least `need` bytes, growing geometrically (or as the
  // owner's storage grows).
  void expand(std::size_t need);

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  Grow grow_ = nullptr;  // null: the Text's own malloc'd block
  void* owner_ = nullptr;
};

// The escaped text of the last long string written through it, for a
// sequence of writes that repeat one long string (the module text in every
// record of a discovery report): a repeat is compared and copied, not
// escaped again.
class StringMemo {
 public:
  // Strings shorter than this are escaped every time.
  static constexpr std::size_t kMinSize = 4096;
  static constexpr std::size_t kNone = ~std::size_t{0};

  // Where the last write through the memo put a remembered text (an offset
  // in its output), or kNone; and that text's size.
  std::size_t copied_at() const noexcept { return copied_at_; }
  std::size_t copied_size() const noexcept { return written_.size(); }

 private:
  friend class TextWriter;
  std::string source_;
  std::string written_;  // quotes and escapes included
  std::size_t copied_at_ = kNone;
};

// Compact text: no whitespace, members in key order, minimal escaping.
void write(const Value& value, Text& out);
void write(const Value& value, Text& out, StringMemo& memo);
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
