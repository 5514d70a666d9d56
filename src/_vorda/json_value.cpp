#include <algorithm>
#include <atomic>
#include <bit>
#include <cassert>
#include <cstdlib>
#include <cstring>
#include <new>

#include "json.hpp"
#include "json_bytes.hpp"

namespace vorda::json {
namespace {

void* checked_malloc(std::size_t bytes) {
  void* p = std::malloc(bytes);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

// Every heap block of a value starts with the arena chunk it was cut from,
// or null for a block of its own from malloc.
struct BlockHead {
  Arena::Chunk* chunk;
};

constexpr std::size_t round8(std::size_t n) { return (n + 7) & ~std::size_t{7}; }

BlockHead* head_of(void* block) noexcept { return static_cast<BlockHead*>(block) - 1; }

// A block of `bytes`, from the arena when there is one.
void* new_block(std::size_t bytes, Arena* arena) {
  if (arena != nullptr) return arena->allocate(bytes);
  auto* head = static_cast<BlockHead*>(checked_malloc(sizeof(BlockHead) + bytes));
  head->chunk = nullptr;
  return head + 1;
}

}  // namespace

struct Arena::Chunk {
  std::atomic<std::uint64_t> live;  // blocks alive, plus kHold while the arena cuts from it
  std::uint64_t padding;
};

namespace {

// The arena's own count on the chunk it is cutting from: larger than any
// number of blocks, so that frees meanwhile never bring the count to zero.
constexpr std::uint64_t kHold = std::uint64_t{1} << 62;
constexpr std::size_t kFirstChunkMin = 4096;
constexpr std::size_t kChunkMax = std::size_t{4} << 20;

}  // namespace

// The frees of a tree's blocks while it is destroyed. Blocks cut from one
// chunk tend to be freed one after another, so their count is taken off the
// chunk in one atomic step per run rather than one per block.
class BlockFrees {
 public:
  BlockFrees() noexcept = default;
  BlockFrees(const BlockFrees&) = delete;
  BlockFrees& operator=(const BlockFrees&) = delete;
  ~BlockFrees() { flush(); }

  void free(void* block) noexcept {
    BlockHead* head = head_of(block);
    Arena::Chunk* chunk = head->chunk;
    if (chunk == nullptr) {
      std::free(head);
      return;
    }
    if (chunk != chunk_) {
      flush();
      chunk_ = chunk;
    }
    ++count_;
  }

 private:
  void flush() noexcept {
    if (count_ == 0) return;
    if (chunk_->live.fetch_sub(count_, std::memory_order_acq_rel) == count_) std::free(chunk_);
    count_ = 0;
  }

  Arena::Chunk* chunk_ = nullptr;
  std::uint64_t count_ = 0;
};

// ---- Arena -----------------------------------------------------------------------

// Most documents need about four bytes of blocks per byte of text.
Arena::Arena(std::size_t text_size) noexcept : chunk_size_(std::clamp(text_size * 4, kFirstChunkMin, kChunkMax / 4)) {}

Arena::~Arena() { retire(); }

void* Arena::allocate(std::size_t bytes) {
  const std::size_t need = sizeof(BlockHead) + round8(bytes);
  if (static_cast<std::size_t>(end_ - next_) < need) return next_chunk(bytes);
  auto* head = reinterpret_cast<BlockHead*>(next_);
  head->chunk = chunk_;
  next_ += need;
  ++taken_;
  return head + 1;
}

void* Arena::next_chunk(std::size_t bytes) {
  const std::size_t need = sizeof(BlockHead) + round8(bytes);
  // A large block gets one of its own rather than a mostly unused chunk.
  if (need > chunk_size_ / 4) return new_block(bytes, nullptr);
  retire();
  const std::size_t size = chunk_size_;
  auto* chunk = static_cast<Chunk*>(checked_malloc(sizeof(Chunk) + size));
  new (&chunk->live) std::atomic<std::uint64_t>(kHold);
  chunk_ = chunk;
  next_ = reinterpret_cast<char*>(chunk + 1);
  end_ = next_ + size;
  taken_ = 0;
  chunk_size_ = std::min(chunk_size_ * 2, kChunkMax);
  return allocate(bytes);
}

// Gives up the arena's hold on its chunk: the chunk then lives as long as
// its blocks (and goes at once if none is left).
void Arena::retire() noexcept {
  if (chunk_ == nullptr) return;
  const std::uint64_t drop = kHold - taken_;
  if (chunk_->live.fetch_sub(drop, std::memory_order_acq_rel) == drop) std::free(chunk_);
  chunk_ = nullptr;
  next_ = end_ = nullptr;
}

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
  BlockFrees frees;
  release(frees);
}

void Array::release(BlockFrees& frees) noexcept {
  if (block_ == nullptr) return;
  for (Value& v : *this) {
    if (v.owns_heap()) v.destroy(frees);
  }
  frees.free(block_);
  block_ = nullptr;
}

void Array::grow(std::size_t need) {
  const std::size_t cap = std::max({need, capacity() * 2, std::size_t{4}});
  const std::size_t bytes = sizeof(Block) + cap * sizeof(Value);
  if (block_ == nullptr) {
    block_ = static_cast<Block*>(new_block(bytes, nullptr));
    block_->size = 0;
  } else if (BlockHead* head = head_of(block_); head->chunk == nullptr) {
    // Values are relocatable, so realloc may move them.
    void* grown = std::realloc(head, sizeof(BlockHead) + bytes);
    if (grown == nullptr) throw std::bad_alloc();
    block_ = reinterpret_cast<Block*>(static_cast<BlockHead*>(grown) + 1);
  } else {
    // Cut from an arena: moves to a block of its own.
    auto* moved = static_cast<Block*>(new_block(bytes, nullptr));
    std::memcpy(static_cast<void*>(moved), block_, sizeof(Block) + size() * sizeof(Value));
    BlockFrees frees;
    frees.free(std::exchange(block_, moved));
  }
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

Array Array::relocate(Value* first, std::size_t n, Arena* arena) {
  Array out;
  if (n == 0) return out;
  out.block_ = static_cast<Block*>(new_block(sizeof(Block) + n * sizeof(Value), arena));
  out.block_->size = n;
  out.block_->capacity = n;
  std::memcpy(static_cast<void*>(out.data()), static_cast<const void*>(first), n * sizeof(Value));
  return out;
}

bool operator==(const Array& a, const Array& b) noexcept {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

// ---- Object --------------------------------------------------------------------

Object Object::with_capacity(std::size_t members, std::size_t key_bytes, Arena* arena) {
  Object out;
  if (members == 0) return out;
  const std::size_t entry_bytes = members * sizeof(Entry);
  out.block_ = static_cast<Block*>(new_block(sizeof(Block) + entry_bytes + key_bytes, arena));
  out.block_->size = 0;
  out.block_->capacity = members;
  out.block_->next_key = reinterpret_cast<char*>(out.block_ + 1) + entry_bytes;
  return out;
}

Object::Object(const Object& other) {
  assert(other.complete());
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
  BlockFrees frees;
  release(frees);
}

void Object::release(BlockFrees& frees) noexcept {
  if (block_ == nullptr) return;
  Entry* e = entries();
  for (std::size_t i = 0; i < block_->size; ++i) {
    if (e[i].value.owns_heap()) e[i].value.destroy(frees);
  }
  frees.free(block_);
  block_ = nullptr;
}

const Value* Object::find(std::string_view key) const noexcept {
  const Entry* it = std::lower_bound(begin(), end(), key, [](const Entry& e, std::string_view k) { return e.key < k; });
  return it != end() && it->key == key ? &it->value : nullptr;
}

bool operator==(const Object& a, const Object& b) noexcept {
  assert(a.complete() && b.complete());
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
  BlockFrees frees;
  destroy(frees);
}

// Called only for a value that owns a block.
void Value::destroy(BlockFrees& frees) noexcept {
  switch (kind()) {
    case Kind::String:
      frees.free(s_);
      break;
    case Kind::Array:
      a_.release(frees);
      break;
    case Kind::Object:
      o_.release(frees);
      break;
    default:
      break;
  }
  tag_ = 0;
}

Value Value::heap_string(std::string_view text, Arena* arena) {
  Value v;
  auto* rep = static_cast<StringRep*>(new_block(offsetof(StringRep, data) + text.size(), arena));
  rep->size = text.size();
  std::memcpy(rep->data, text.data(), text.size());
  v.tag_ = tag(Kind::String) | (std::uint64_t{kHeapString} << 8);
  v.s_ = rep;
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
