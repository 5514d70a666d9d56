// The compact writer: one pass over the value into one growing buffer.
//
// Room is reserved before each token and bytes are then stored through a
// plain pointer; strings are scanned sixteen bytes at a time for the bytes
// that need escaping, and each float's shortest digits are put in their
// final layout where std::to_chars wrote them.
#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "json.hpp"

namespace vorda::json {
namespace {

// For each byte: 0 copies it as is, otherwise the character after the
// backslash ('u' for the \u00XX form).
constexpr std::array<char, 256> make_escapes() {
  std::array<char, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[c] = 'u';
  table['"'] = '"';
  table['\\'] = '\\';
  table['\b'] = 'b';
  table['\t'] = 't';
  table['\n'] = 'n';
  table['\f'] = 'f';
  table['\r'] = 'r';
  return table;
}
constexpr std::array<char, 256> kEscape = make_escapes();

// Writing space at the end of a std::string: the string is grown ahead of
// need and cut back to what was written when the sink goes.
class Sink {
 public:
  // Bytes a token may store past its own end (whole 16-byte string blocks).
  static constexpr std::size_t kSlack = 16;

  explicit Sink(std::string& out) : out_(out) {
    const std::size_t used = out.size();
    out.resize(std::max<std::size_t>(used + 256, out.capacity()));
    pos_ = out.data() + used;
    end_ = out.data() + out.size();
  }
  Sink(const Sink&) = delete;
  Sink& operator=(const Sink&) = delete;
  ~Sink() { out_.resize(static_cast<std::size_t>(pos_ - out_.data())); }

  // At least n bytes may be stored at pos() from now on.
  char* room(std::size_t n) {
    if (static_cast<std::size_t>(end_ - pos_) < n) grow(n);
    return pos_;
  }
  char* pos() const { return pos_; }
  void advance_to(char* p) { pos_ = p; }
  void put(char c) {
    room(1);
    *pos_++ = c;
  }
  void put(const char* text, std::size_t n) {
    room(n);
    std::memcpy(pos_, text, n);
    pos_ += n;
  }

 private:
  [[gnu::noinline]] void grow(std::size_t n) {
    const std::size_t at = static_cast<std::size_t>(pos_ - out_.data());
    out_.resize(std::max(out_.size() * 2, at + n + 256));
    pos_ = out_.data() + at;
    end_ = out_.data() + out_.size();
  }

  std::string& out_;
  char* pos_;
  char* end_;
};

// Stores the escape of byte c at o and returns the end.
char* put_escape(char* o, unsigned char c) {
  const char e = kEscape[c];
  o[0] = '\\';
  if (e != 'u') {
    o[1] = e;
    return o + 2;
  }
  static constexpr char hex[] = "0123456789abcdef";
  o[1] = 'u';
  o[2] = '0';
  o[3] = '0';
  o[4] = hex[c >> 4];
  o[5] = hex[c & 15];
  return o + 6;
}

void write_string(std::string_view s, Sink& sink) {
  const char* p = s.data();
  const char* const end = p + s.size();
  // The quotes, every byte as is, and the block overrun.
  char* o = sink.room(s.size() + 2 + Sink::kSlack);
  *o++ = '"';
  for (;;) {
#if defined(__SSE2__)
    // Copy sixteen bytes at a time (stored whole; the room covers the
    // overrun) until one of them needs escaping.
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i control_max = _mm_set1_epi8(0x1F);
    while (end - p >= 16) {
      __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o), x);
      __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, quote), _mm_cmpeq_epi8(x, backslash)),
                                 _mm_cmpeq_epi8(_mm_min_epu8(x, control_max), x));
      int mask = _mm_movemask_epi8(hit);
      if (mask != 0) {
        const int n = __builtin_ctz(static_cast<unsigned>(mask));
        p += n;
        o += n;
        break;
      }
      p += 16;
      o += 16;
    }
#endif
    while (p != end && kEscape[static_cast<unsigned char>(*p)] == 0) *o++ = *p++;
    if (p == end) break;
    // An escape takes up to six bytes for one: room for it and the rest.
    sink.advance_to(o);
    o = sink.room(6 + static_cast<std::size_t>(end - p) + 1 + Sink::kSlack);
    o = put_escape(o, static_cast<unsigned char>(*p++));
  }
  *o++ = '"';
  sink.advance_to(o);
}

template <class Int>
void write_integer(Int n, Sink& sink) {
  char* o = sink.room(24);
  sink.advance_to(std::to_chars(o, o + 24, n).ptr);
}

// The float layout at o (room for 32 bytes); returns the end.
char* put_float(char* o, double d) {
  if (!std::isfinite(d)) {
    std::memcpy(o, "null", 4);
    return o + 4;
  }
  if (d == 0) {
    if (std::signbit(d)) {
      std::memcpy(o, "-0.0", 4);
      return o + 4;
    }
    std::memcpy(o, "0.0", 3);
    return o + 3;
  }
  if (d < 0) {
    *o++ = '-';
    d = -d;
  }
  // Shortest round-trip digits in scientific form, "d[.ddd]e[+-]xx", in
  // place; the digits are then moved into the layout around them.
  char* const sci_end = std::to_chars(o, o + 26, d, std::chars_format::scientific).ptr;
  const char* e_mark = static_cast<const char*>(std::memchr(o, 'e', static_cast<std::size_t>(sci_end - o)));
  const int n = o[1] == '.' ? static_cast<int>(e_mark - o) - 1 : 1;  // digit count
  const bool negative_exponent = e_mark[1] == '-';
  int e = 0;
  for (const char* q = e_mark + 2; q != sci_end; ++q) e = e * 10 + (*q - '0');
  if (negative_exponent) e = -e;

  if (e >= -5 && e <= 15) {
    if (n > 1) std::memmove(o + 1, o + 2, static_cast<std::size_t>(n - 1));  // digits together at o
    if (n - 1 <= e) {
      // A whole number: the digits, zeros, ".0".
      char* z = o + n;
      std::memset(z, '0', static_cast<std::size_t>(e + 1 - n));
      z += e + 1 - n;
      z[0] = '.';
      z[1] = '0';
      return z + 2;
    }
    if (e >= 0) {
      std::memmove(o + e + 2, o + e + 1, static_cast<std::size_t>(n - e - 1));
      o[e + 1] = '.';
      return o + n + 1;
    }
    // "0." and -e-1 zeros before the digits.
    const int lead = 1 - e;
    std::memmove(o + lead, o, static_cast<std::size_t>(n));
    o[0] = '0';
    o[1] = '.';
    std::memset(o + 2, '0', static_cast<std::size_t>(lead - 2));
    return o + lead + n;
  }
  // Scientific as to_chars wrote it, but without an exponent's leading zero.
  char* x = const_cast<char*>(e_mark) + 2;
  if (x[0] == '0') {
    x[0] = x[1];
    return x + 1;
  }
  return sci_end;
}

void write_value(const Value& v, Sink& sink) {
  switch (v.kind()) {
    case Kind::Null:
      sink.put("null", 4);
      return;
    case Kind::Bool:
      if (v.as_bool()) {
        sink.put("true", 4);
      } else {
        sink.put("false", 5);
      }
      return;
    case Kind::UInt:
      write_integer(v.as_uint(), sink);
      return;
    case Kind::Int:
      write_integer(v.as_int(), sink);
      return;
    case Kind::Float:
      sink.advance_to(put_float(sink.room(32), v.as_float()));
      return;
    case Kind::String:
      write_string(v.as_string(), sink);
      return;
    case Kind::Array: {
      sink.put('[');
      bool first = true;
      for (const Value& item : v.as_array()) {
        if (!first) sink.put(',');
        first = false;
        write_value(item, sink);
      }
      sink.put(']');
      return;
    }
    case Kind::Object: {
      sink.put('{');
      bool first = true;
      for (const Entry& m : v.as_object()) {
        if (!first) sink.put(',');
        first = false;
        write_string(m.key, sink);
        sink.put(':');
        write_value(m.value, sink);
      }
      sink.put('}');
      return;
    }
  }
}

}  // namespace

void write_float(double d, std::string& out) {
  Sink sink(out);
  sink.advance_to(put_float(sink.room(32), d));
}

void write(const Value& value, std::string& out) {
  Sink sink(out);
  write_value(value, sink);
}

std::string write(const Value& value) {
  std::string out;
  write(value, out);
  return out;
}

}  // namespace vorda::json
