#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <new>

#include "json.hpp"

namespace vorda::json {
namespace {

void* allocate(std::size_t bytes) {
  void* p = std::malloc(bytes);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

// The n bytes at p (n at most 8) as a little-endian number, reading no byte
// outside them: two overlapping loads instead of a byte loop.
inline std::uint64_t load_upto8(const char* p, std::size_t n) noexcept {
  if (n >= 4) {
    std::uint32_t lo, hi;
    std::memcpy(&lo, p, 4);
    std::memcpy(&hi, p + n - 4, 4);
    return std::uint64_t{lo} | (std::uint64_t{hi} << (8 * (n - 4)));
  }
  if (n == 0) return 0;
  const auto b = [&](std::size_t i) { return std::uint64_t{static_cast<unsigned char>(p[i])}; };
  return b(0) | (b(n / 2) << (8 * (n / 2))) | (b(n - 1) << (8 * (n - 1)));
}

}  // namespace

// ---- Array ---------------------------------------------------------------------

Array::Array(const Array& other) {
  const std::size_t n = other.size();
  if (n == 0) return;
  reserve(n);
  for (const Value& v : other) {
    new (data() + block_->size) Value(v);
    ++block_->size;
  }
}

Array& Array::operator=(const Array& other) {
  if (this != &other) {
    Array copy(other);
    *this = std::move(copy);
  }
  return *this;
}

Array& Array::operator=(Array&& other) noexcept {
  if (this != &other) {
    release();
    block_ = std::exchange(other.block_, nullptr);
  }
  return *this;
}

void Array::release() noexcept {
  if (block_ == nullptr) return;
  for (Value& v : *this) v.~Value();
  std::free(block_);
  block_ = nullptr;
}

void Array::grow(std::size_t need) {
  const std::size_t cap = std::max({need, capacity() * 2, std::size_t{4}});
  // Values are relocatable, so realloc may move them.
  void* grown = std::realloc(block_, sizeof(Block) + cap * sizeof(Value));
  if (grown == nullptr) throw std::bad_alloc();
  const bool fresh = block_ == nullptr;
  block_ = static_cast<Block*>(grown);
  if (fresh) block_->size = 0;
  block_->capacity = cap;
}

void Array::reserve(std::size_t n) {
  if (n > capacity()) grow(n);
}

void Array::push_back(Value&& v) {
  if (size() == capacity()) {
    Value moving(std::move(v));  // v may be one of our own elements
    grow(size() + 1);
    new (end()) Value(std::move(moving));
  } else {
    new (end()) Value(std::move(v));
  }
  ++block_->size;
}

void Array::push_back(const Value& v) { push_back(Value(v)); }

void Array::clear() noexcept {
  if (block_ == nullptr) return;
  for (Value& v : *this) v.~Value();
  block_->size = 0;
}

Array Array::relocate(Value* first, std::size_t n) {
  Array out;
  if (n == 0) return out;
  out.grow(n);
  std::memcpy(static_cast<void*>(out.data()), static_cast<const void*>(first), n * sizeof(Value));
  out.block_->size = n;
  return out;
}

bool operator==(const Array& a, const Array& b) noexcept {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

// ---- Object --------------------------------------------------------------------

Object Object::with_capacity(std::size_t members, std::size_t key_bytes) {
  Object out;
  if (members == 0) return out;
  const std::size_t entry_bytes = members * sizeof(Entry);
  out.block_ = static_cast<Block*>(allocate(sizeof(Block) + entry_bytes + key_bytes));
  out.block_->size = 0;
  out.block_->capacity = members;
  out.block_->next_key = reinterpret_cast<char*>(out.block_ + 1) + entry_bytes;
  return out;
}

void Object::append(std::string_view key, Value&& value) noexcept {
  char* at = block_->next_key;
  if (!key.empty()) std::memcpy(at, key.data(), key.size());
  block_->next_key = at + key.size();
  new (entries() + block_->size) Entry{std::string_view(at, key.size()), std::move(value)};
  ++block_->size;
}

Object::Object(const Object& other) {
  std::size_t key_bytes = 0;
  for (const Entry& e : other) key_bytes += e.key.size();
  Object copy = with_capacity(other.size(), key_bytes);
  for (const Entry& e : other) copy.append(e.key, Value(e.value));
  block_ = std::exchange(copy.block_, nullptr);
}

Object& Object::operator=(const Object& other) {
  if (this != &other) {
    Object copy(other);
    *this = std::move(copy);
  }
  return *this;
}

Object& Object::operator=(Object&& other) noexcept {
  if (this != &other) {
    release();
    block_ = std::exchange(other.block_, nullptr);
  }
  return *this;
}

void Object::release() noexcept {
  if (block_ == nullptr) return;
  Entry* e = entries();
  for (std::size_t i = 0; i < block_->size; ++i) e[i].~Entry();
  std::free(block_);
  block_ = nullptr;
}

const Value* Object::find(std::string_view key) const noexcept {
  const Entry* it = std::lower_bound(begin(), end(), key, [](const Entry& e, std::string_view k) { return e.key < k; });
  return it != end() && it->key == key ? &it->value : nullptr;
}

bool operator==(const Object& a, const Object& b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].key != b[i].key || !(a[i].value == b[i].value)) return false;
  }
  return true;
}

// ---- Value ---------------------------------------------------------------------

Value::Value(const Value& other) : tag_(0), u_(0) {
  switch (other.kind()) {
    case Kind::String:
      if (other.small() == kHeapString) {
        *this = string(other.as_string());
        return;
      }
      break;
    case Kind::Array:
      new (&a_) Array(other.a_);
      tag_ = tag(Kind::Array);
      return;
    case Kind::Object:
      new (&o_) Object(other.o_);
      tag_ = tag(Kind::Object);
      return;
    default:
      break;
  }
  tag_ = other.tag_;
  u_ = other.u_;
}

Value& Value::operator=(const Value& other) {
  if (this != &other) {
    Value copy(other);
    *this = std::move(copy);
  }
  return *this;
}

void Value::destroy() noexcept {
  switch (kind()) {
    case Kind::String:
      std::free(s_);
      break;
    case Kind::Array:
      a_.~Array();
      break;
    case Kind::Object:
      o_.~Object();
      break;
    default:
      break;
  }
  tag_ = 0;
}

Value Value::string(std::string_view text) {
  Value v;
  const std::size_t n = text.size();
  if (n <= kInlineMax) {
    // Both words are put together in registers and stored whole.
    const char* p = text.data();
    const std::uint64_t head = load_upto8(p, std::min<std::size_t>(n, 6));
    v.tag_ = tag(Kind::String) | (std::uint64_t{n} << 8) | (head << 16);
    v.u_ = n > 6 ? load_upto8(p + 6, n - 6) : 0;
    return v;
  }
  auto* rep = static_cast<StringRep*>(allocate(offsetof(StringRep, data) + text.size()));
  rep->size = text.size();
  std::memcpy(rep->data, text.data(), text.size());
  v.tag_ = tag(Kind::String) | (std::uint64_t{kHeapString} << 8);
  v.s_ = rep;
  return v;
}

Value Value::array(Array&& items) noexcept {
  Value v;
  new (&v.a_) Array(std::move(items));
  v.tag_ = tag(Kind::Array);
  return v;
}

Value Value::object(Members&& members) {
  // A stable sort keeps equal keys in their original order, so the last of
  // each run is the later duplicate, which wins.
  std::stable_sort(members.begin(), members.end(), [](const Member& a, const Member& b) { return a.key < b.key; });
  auto out = members.begin();
  for (auto it = members.begin(); it != members.end();) {
    auto last = it;
    while (last + 1 != members.end() && last[1].key == it->key) ++last;
    if (out != last) *out = std::move(*last);
    ++out;
    it = last + 1;
  }
  members.erase(out, members.end());
  return object_sorted(std::move(members));
}

Value Value::object_sorted(Members&& members) {
  std::size_t key_bytes = 0;
  for (const Member& m : members) key_bytes += m.key.size();
  Object object = Object::with_capacity(members.size(), key_bytes);
  for (Member& m : members) object.append(m.key, std::move(m.value));
  members.clear();
  return object_sorted(std::move(object));
}

Value Value::object_sorted(Object&& members) noexcept {
  Value v;
  new (&v.o_) Object(std::move(members));
  v.tag_ = tag(Kind::Object);
  return v;
}

bool operator==(const Value& a, const Value& b) noexcept {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case Kind::Null:
      return true;
    case Kind::Bool:
      return a.as_bool() == b.as_bool();
    case Kind::UInt:
      return a.u_ == b.u_;
    case Kind::Int:
      return a.i_ == b.i_;
    case Kind::Float:
      return std::bit_cast<std::uint64_t>(a.d_) == std::bit_cast<std::uint64_t>(b.d_);
    case Kind::String:
      return a.as_string() == b.as_string();
    case Kind::Array:
      return a.a_ == b.a_;
    case Kind::Object:
      return a.o_ == b.o_;
  }
  return false;
}

std::string ReadError::describe() const {
  std::string text = message ? message : "";
  if (line != 0) {
    text += " at line ";
    text += std::to_string(line);
    text += " column ";
    text += std::to_string(column);
  }
  return text;
}

}  // namespace vorda::json
