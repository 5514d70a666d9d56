#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

#include "json.hpp"

namespace vorda::json {

Value::Value(const Value& other) : kind_(Kind::Null), u_(0) {
  switch (other.kind_) {
    case Kind::String:
      *this = string(other.as_string());
      return;
    case Kind::Array:
      a_ = new Array(*other.a_);
      break;
    case Kind::Object:
      o_ = new Members(*other.o_);
      break;
    default:
      u_ = other.u_;
      break;
  }
  kind_ = other.kind_;
}

Value& Value::operator=(const Value& other) {
  if (this != &other) {
    Value copy(other);
    *this = std::move(copy);
  }
  return *this;
}

void Value::destroy() noexcept {
  switch (kind_) {
    case Kind::String:
      ::operator delete(s_);
      break;
    case Kind::Array:
      delete a_;
      break;
    case Kind::Object:
      delete o_;
      break;
    default:
      break;
  }
  kind_ = Kind::Null;
  u_ = 0;
}

Value Value::string(std::string_view text) {
  Value v;
  v.kind_ = Kind::String;
  if (!text.empty()) {
    auto* rep = static_cast<StringRep*>(::operator new(offsetof(StringRep, data) + text.size() + 1));
    rep->size = text.size();
    std::memcpy(rep->data, text.data(), text.size());
    rep->data[text.size()] = '\0';
    v.s_ = rep;
  }
  return v;
}

std::string_view Value::as_string() const noexcept {
  return s_ ? std::string_view(s_->data, s_->size) : std::string_view();
}

Value Value::array(Array&& items) {
  Value v;
  v.a_ = new Array(std::move(items));
  v.kind_ = Kind::Array;
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
  Value v;
  v.o_ = new Members(std::move(members));
  v.kind_ = Kind::Object;
  return v;
}

const Value* Value::find(std::string_view key) const noexcept {
  if (kind_ != Kind::Object) return nullptr;
  auto it = std::lower_bound(o_->begin(), o_->end(), key,
                             [](const Member& m, std::string_view k) { return std::string_view(m.key) < k; });
  return it != o_->end() && it->key == key ? &it->value : nullptr;
}

bool operator==(const Value& a, const Value& b) noexcept {
  if (a.kind_ != b.kind_) return false;
  switch (a.kind_) {
    case Kind::Null:
      return true;
    case Kind::Bool:
      return a.b_ == b.b_;
    case Kind::UInt:
      return a.u_ == b.u_;
    case Kind::Int:
      return a.i_ == b.i_;
    case Kind::Float:
      return std::bit_cast<std::uint64_t>(a.d_) == std::bit_cast<std::uint64_t>(b.d_);
    case Kind::String:
      return a.as_string() == b.as_string();
    case Kind::Array:
      return *a.a_ == *b.a_;
    case Kind::Object: {
      const Members& x = *a.o_;
      const Members& y = *b.o_;
      if (x.size() != y.size()) return false;
      for (std::size_t i = 0; i < x.size(); ++i) {
        if (x[i].key != y[i].key || !(x[i].value == y[i].value)) return false;
      }
      return true;
    }
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
