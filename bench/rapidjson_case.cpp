// RapidJSON, read and written the way the comparison in json_bench.cpp needs:
// full-precision floats, object members sorted by key bytes with the later of
// equal keys kept. Compiled on its own so that GCC inlines RapidJSON's hot
// helpers (SkipWhitespace, WriteString, Prefix) as it would in a program of
// its own; the SIMD switch (RAPIDJSON_SSE2 or RAPIDJSON_SSE42) comes from
// bench/CMakeLists.txt.
#include "rapidjson_case.hpp"

#include <algorithm>
#include <cstdlib>
#include <string_view>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace bench {
namespace {

namespace rj = rapidjson;
using Member = rj::Value::Member;

inline std::string_view key(const Member& m) { return {m.name.GetString(), m.name.GetStringLength()}; }

// A member's bytes. RapidJSON values are relocatable (it moves members with
// memmove itself), so the members are sorted as plain 32-byte records, in
// place, with no second tree.
struct Raw {
  alignas(Member) unsigned char bytes[sizeof(Member)];
};
inline std::string_view key(const Raw& r) { return key(*reinterpret_cast<const Member*>(&r)); }

void sort_members(rj::Value& v) {
  if (v.IsArray()) {
    for (auto& item : v.GetArray()) sort_members(item);
    return;
  }
  if (!v.IsObject() || v.MemberCount() == 0) return;
  bool ordered = true;
  for (auto it = v.MemberBegin(); it != v.MemberEnd(); ++it) {
    sort_members(it->value);
    if (it != v.MemberBegin() && !(key(it[-1]) < key(*it))) ordered = false;
  }
  if (ordered) return;
  Raw* first = reinterpret_cast<Raw*>(&*v.MemberBegin());
  Raw* last = first + v.MemberCount();
  // Stable, so that the later of equal keys stays last: insertion for small
  // objects (as vorda's reader does), a merge sort otherwise.
  if (last - first <= 24) {
    for (Raw* it = first + 1; it != last; ++it) {
      if (!(key(*it) < key(it[-1]))) continue;
      Raw moving = *it;
      Raw* hole = it;
      do {
        *hole = hole[-1];
        --hole;
      } while (hole != first && key(moving) < key(hole[-1]));
      *hole = moving;
    }
  } else {
    std::stable_sort(first, last, [](const Raw& a, const Raw& b) { return key(a) < key(b); });
  }
  for (auto it = v.MemberBegin(); it + 1 < v.MemberEnd();) {
    if (key(*it) == key(it[1])) {
      it = v.EraseMember(it, it + 1);  // keeps the order; the later one wins
    } else {
      ++it;
    }
  }
}

}  // namespace

struct RapidCase::Impl {
  rj::Document doc;
};

RapidCase::RapidCase() : impl_(std::make_unique<Impl>()) {}
RapidCase::~RapidCase() = default;

bool RapidCase::load(const std::string& text) {
  impl_->doc.Parse<rj::kParseFullPrecisionFlag>(text.data(), text.size());
  if (impl_->doc.HasParseError()) return false;
  sort_members(impl_->doc);
  return true;
}

std::size_t RapidCase::read(const std::string& text) {
  rj::Document doc;
  doc.Parse<rj::kParseFullPrecisionFlag>(text.data(), text.size());
  if (doc.HasParseError()) std::abort();
  sort_members(doc);
  return doc.IsObject() ? doc.MemberCount() : doc.IsArray() ? doc.Size() : 0;
}

std::size_t RapidCase::write() const {
  rj::StringBuffer buffer;
  rj::Writer<rj::StringBuffer> writer(buffer);
  impl_->doc.Accept(writer);
  return buffer.GetSize();
}

}  // namespace bench
