// The compact writer: one pass over the value into one growing buffer.
//
// Room is reserved before each token and bytes are then stored through a
// plain pointer; strings are scanned sixteen bytes at a time for the bytes
// that need escaping, and each float's shortest digits are computed as one
// integer and put straight into their layout.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
#include <utility>

#include <sys/mman.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "json.hpp"
#include "json_number.hpp"
#include "json_simd.hpp"

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

}  // namespace

// Writing space at the end of a Text: grown ahead of need; its size is set
// to what was written when the sink goes.
class TextWriter {
 public:
  // Bytes a token may store past its own end (whole 16-byte string blocks).
  static constexpr std::size_t kSlack = 16;

  explicit TextWriter(Text& out, StringMemo* memo = nullptr) : out_(out), memo_(memo) {
    if (memo != nullptr) memo->copied_at_ = StringMemo::kNone;
    out.reserve(out.size() + 256);
    pos_ = out.data_ + out.size_;
    end_ = out.data_ + out.capacity_;
  }
  TextWriter(const TextWriter&) = delete;
  TextWriter& operator=(const TextWriter&) = delete;
  ~TextWriter() { out_.size_ = static_cast<std::size_t>(pos_ - out_.data_); }

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
    const std::size_t at = static_cast<std::size_t>(pos_ - out_.data_);
    out_.size_ = at;
    out_.expand(at + n + 256);
    pos_ = out_.data_ + at;
    end_ = out_.data_ + out_.capacity_;
  }

  Text& out_;
  StringMemo* memo_;
  char* pos_;
  char* end_;

 public:
  // A long string's text from the memo: true when it was there.
  bool put_remembered(std::string_view s) {
    if (memo_ == nullptr || s.size() < StringMemo::kMinSize || memo_->source_ != s) return false;
    memo_->copied_at_ = offset();
    put(memo_->written_.data(), memo_->written_.size());
    return true;
  }
  // Remembers what was written for a long string from `start` on.
  void remember(std::string_view s, std::size_t start) {
    if (memo_ == nullptr || s.size() < StringMemo::kMinSize) return;
    memo_->source_.assign(s);
    memo_->written_.assign(out_.data_ + start, static_cast<std::size_t>(pos_ - out_.data_) - start);
  }
  std::size_t offset() const { return static_cast<std::size_t>(pos_ - out_.data_); }
};

// A large buffer's new stretch is usually fresh pages from the kernel; one
// call maps them all. Where the call is not known, they fault in as before.
void Text::prefault([[maybe_unused]] char* from, [[maybe_unused]] char* to) noexcept {
#if defined(MADV_POPULATE_WRITE)
  constexpr std::uintptr_t kPage = 4096;
  constexpr std::size_t kLarge = std::size_t{1} << 15;
  if (static_cast<std::size_t>(to - from) < kLarge) return;
  char* first = from + (kPage - reinterpret_cast<std::uintptr_t>(from) % kPage) % kPage;
  char* last = to - reinterpret_cast<std::uintptr_t>(to) % kPage;
  if (last > first) ::madvise(first, static_cast<std::size_t>(last - first), MADV_POPULATE_WRITE);
#endif
}

void Text::release() noexcept {
  if (grow_ == nullptr) std::free(data_);
}

Text& Text::operator=(Text&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    grow_ = std::exchange(other.grow_, nullptr);
    owner_ = std::exchange(other.owner_, nullptr);
  }
  return *this;
}

Text::~Text() { release(); }

void Text::reserve(std::size_t n) {
  if (n <= capacity_) return;
  if (grow_ != nullptr) {
    data_ = grow_(owner_, size_, n, capacity_);
    return;
  }
  void* grown = std::realloc(data_, n);
  if (grown == nullptr) throw std::bad_alloc();
  data_ = static_cast<char*>(grown);
  prefault(data_ + capacity_, data_ + n);
  capacity_ = n;
}

void Text::expand(std::size_t need) {
  if (need <= capacity_) return;
  if (grow_ != nullptr) {
    data_ = grow_(owner_, size_, need, capacity_);
    return;
  }
  reserve(std::max(need, capacity_ * 2));
}

void Text::append(std::string_view bytes) {
  if (capacity_ - size_ < bytes.size()) expand(size_ + bytes.size());
  if (!bytes.empty()) std::memcpy(data_ + size_, bytes.data(), bytes.size());
  size_ += bytes.size();
}

namespace {

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

void write_escaped(std::string_view s, TextWriter& sink);

void write_string(std::string_view s, TextWriter& sink) {
  if (s.size() < StringMemo::kMinSize) return write_escaped(s, sink);
  if (sink.put_remembered(s)) return;
  const std::size_t start = sink.offset();
  write_escaped(s, sink);
  sink.remember(s, start);
}

void write_escaped(std::string_view s, TextWriter& sink) {
  const char* p = s.data();
  const char* const end = p + s.size();
  // The quotes, every byte as is, and the block overrun.
  char* o = sink.room(s.size() + 2 + TextWriter::kSlack);
  *o++ = '"';
  for (;;) {
#if defined(__SSE2__)
    // Copy sixteen bytes at a time (stored whole; the room covers the
    // overrun) until one of them needs escaping.
    while (end - p >= 16) {
      __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o), x);
      int mask = string_specials(x);
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
    o = sink.room(6 + static_cast<std::size_t>(end - p) + 1 + TextWriter::kSlack);
    o = put_escape(o, static_cast<unsigned char>(*p++));
  }
  *o++ = '"';
  sink.advance_to(o);
}

// ---- Shortest float digits: the Schubfach method -----------------------------
//
// A double v = c * 2^q rounds back from every decimal inside its rounding
// interval (the halfway points to its neighbours, included when c is even).
// With k chosen so that v * 10^-k has 16 or 17 digits, the interval scaled
// by 10^-k (times 4, to keep the halves exact) holds either a multiple of 10
// (a decimal one digit shorter) or a digit string of that length; among the
// candidates of the shortest length the one nearest v wins, an exact tie
// going to the even one. A 128-bit table of rounded-up powers of ten with
// round-to-odd products keeps every comparison exact.
//
// The ranges involved: a finite positive double has q in [-1074, 971], so
// k lies in [-324, 292] and the table needs 10^j for j = -k in [-292, 324];
// the shift h below lies in [1, 4].

constexpr int kPow10Smallest = -292;
constexpr std::uint64_t kPow10[][2] = {
#include "json_pow10_table.inc"
};
static_assert(std::size(kPow10) == 324 - kPow10Smallest + 1);

// floor(e * log10(2)): 1262611 / 2^22 is log10(2) rounded down; exact for
// |e| <= 2135 (here |e| <= 1074).
inline int floor_log10_pow2(int e) { return (e * 1262611) >> 22; }
// floor(log10(3/4 * 2^e)): 524031 / 2^22 is -log10(3/4) rounded down; exact
// for |e| <= 2936 (here |e| <= 1074).
inline int floor_log10_three_quarters_pow2(int e) { return (e * 1262611 - 524031) >> 22; }
// floor(j * log2(10)): 1741647 / 2^19 is log2(10) rounded down; exact for
// |j| <= 4003 (here |j| <= 324). tools/make_pow10_table.py checks it against
// every table entry.
inline int floor_log2_pow10(int j) { return (j * 1741647) >> 19; }

// (g * cp) / 2^128 rounded to odd: exact when the quotient is an integer,
// otherwise its floor with the lowest bit set. g is a table entry {high,
// low}: the high half's product plus the carry out of the low half's.
inline std::uint64_t round_to_odd(const std::uint64_t* g, std::uint64_t cp) {
  const Wide x = wide_multiply(g[1], cp);
  const Wide y = wide_multiply(g[0], cp) + static_cast<std::uint64_t>(x >> 64);
  const auto high = static_cast<std::uint64_t>(y >> 64);
  const auto low = static_cast<std::uint64_t>(y);
  return high | (low > 1 ? 1 : 0);
}

struct Decimal {
  std::uint64_t digits;
  int exponent;  // value = digits * 10^exponent
};

// The shortest decimal that reads back as v (finite, positive), nearest v.
Decimal shortest(double v) {
  // Step 1: v = c * 2^q, c the significand with its hidden bit.
  const auto bits = std::bit_cast<std::uint64_t>(v);
  const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
  const int biased = static_cast<int>(bits >> 52);
  std::uint64_t c;
  int q;
  if (biased != 0) {
    c = fraction | (std::uint64_t{1} << 52);
    q = biased - 1075;
    // Whole numbers below 2^53 are their own shortest digits.
    if (q <= 0 && q > -53 && (c & ((std::uint64_t{1} << -q) - 1)) == 0) return {c >> -q, 0};
  } else {
    c = fraction;
    q = -1074;
  }
  // Step 2: the rounding interval [cbl, cbr] around cb, all times 4 (so
  // below 2^55). At a power of two the neighbour below is half as far as
  // the one above. Its ends belong to it when c is even.
  const bool even = (c & 1) == 0;
  const bool closer_below = fraction == 0 && biased > 1;
  const std::uint64_t cb = c << 2;
  const std::uint64_t cbl = cb - 2 + (closer_below ? 1 : 0);
  const std::uint64_t cbr = cb + 2;
  // Step 3: k, the power of ten to divide by, and h, the shift (1 to 4)
  // that lines the product up with the table entry's scale.
  const int k = closer_below ? floor_log10_three_quarters_pow2(q) : floor_log10_pow2(q);
  const int h = q + floor_log2_pow10(-k) + 1;
  // Step 4: the three points times 10^-k, rounded to odd; an excluded end
  // moves one unit inwards.
  const std::uint64_t* g = kPow10[-k - kPow10Smallest];
  const std::uint64_t vb = round_to_odd(g, cb << h);
  const std::uint64_t lower = round_to_odd(g, cbl << h) + (even ? 0 : 1);
  const std::uint64_t upper = round_to_odd(g, cbr << h) - (even ? 0 : 1);

  // Step 5: one digit shorter, a multiple of ten inside the interval.
  const std::uint64_t s = vb >> 2;
  if (s >= 10) {
    const std::uint64_t sp = s / 10;
    const bool down_inside = lower <= 40 * sp;
    const bool up_inside = 40 * sp + 40 <= upper;
    if (down_inside != up_inside) return {sp + (up_inside ? 1 : 0), k + 1};
  }
  // Step 6: the full length, s or s + 1, when only one is inside.
  const bool down_inside = lower <= 4 * s;
  const bool up_inside = 4 * s + 4 <= upper;
  if (down_inside != up_inside) return {s + (up_inside ? 1 : 0), k};
  // Step 7: both (or, for the checks above, neither) inside: the nearer,
  // ties to even.
  const std::uint64_t mid = 4 * s + 2;
  const bool round_up = vb > mid || (vb == mid && (s & 1) != 0);
  return {s + (round_up ? 1 : 0), k};
}

constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Decimal digits of n > 0: log10 from the bit length, corrected by one.
// For a bit width b in [1, 64], (b * 1233) >> 12 is floor(b * log10(2))
// (1233 / 2^12 being log10(2) rounded down; exact for b <= 64, the range
// here): at most 19, and n, in [2^(b-1), 2^b), has that many digits or one
// more, one more exactly when n >= 10^guess.
inline int decimal_length(std::uint64_t n) {
  const int guess = (static_cast<int>(std::bit_width(n)) * 1233) >> 12;
  return guess + (n >= kPow10U64[guess] ? 1 : 0);
}

inline void put_pair(char* o, std::size_t pair) { std::memcpy(o, kDigitPairs + 2 * pair, 2); }

// Eight digits of n < 10^8 at o, in 32-bit arithmetic.
inline void put_eight(char* o, std::uint32_t n) {
  const std::uint32_t high = n / 10000, low = n % 10000;
  put_pair(o, high / 100);
  put_pair(o + 2, high % 100);
  put_pair(o + 4, low / 100);
  put_pair(o + 6, low % 100);
}

// The n decimal digits of d at o (n its exact length).
inline void put_digits(char* o, std::uint64_t d, int n) {
  char* q = o + n;
  while (d >= 100000000) {
    q -= 8;
    put_eight(q, static_cast<std::uint32_t>(d % 100000000));
    d /= 100000000;
  }
  auto r = static_cast<std::uint32_t>(d);
  while (r >= 100) {
    q -= 2;
    put_pair(q, r % 100);
    r /= 100;
  }
  if (r >= 10) {
    put_pair(q - 2, r);
  } else {
    q[-1] = static_cast<char>('0' + r);
  }
}

// The decimal digits of n at o; returns the end.
inline char* put_uint(char* o, std::uint64_t n) {
  if (n < 10) {
    *o = static_cast<char>('0' + n);
    return o + 1;
  }
  const int length = decimal_length(n);
  put_digits(o, n, length);
  return o + length;
}

void write_integer(std::uint64_t n, TextWriter& sink) { sink.advance_to(put_uint(sink.room(24), n)); }

void write_integer(std::int64_t n, TextWriter& sink) {
  char* o = sink.room(24);
  if (n < 0) *o++ = '-';
  // The magnitude in unsigned arithmetic, which holds that of INT64_MIN.
  const std::uint64_t magnitude = n < 0 ? 0 - static_cast<std::uint64_t>(n) : static_cast<std::uint64_t>(n);
  sink.advance_to(put_uint(o, magnitude));
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
  Decimal dec = shortest(d);
  while (dec.digits % 10 == 0) {
    dec.digits /= 10;
    ++dec.exponent;
  }
  const int n = decimal_length(dec.digits);
  const int e = dec.exponent + n - 1;  // of the leading digit

  if (e >= -5 && e <= 15) {
    if (n - 1 <= e) {
      // A whole number: the digits, zeros, ".0".
      put_digits(o, dec.digits, n);
      char* z = o + n;
      std::memset(z, '0', static_cast<std::size_t>(e + 1 - n));
      z += e + 1 - n;
      z[0] = '.';
      z[1] = '0';
      return z + 2;
    }
    if (e >= 0) {
      // The digits with the point after the (e+1)th.
      put_digits(o + 1, dec.digits, n);
      std::memmove(o, o + 1, static_cast<std::size_t>(e) + 1);
      o[e + 1] = '.';
      return o + n + 1;
    }
    // "0." and -e-1 zeros before the digits.
    const int lead = 1 - e;
    o[0] = '0';
    o[1] = '.';
    std::memset(o + 2, '0', static_cast<std::size_t>(lead - 2));
    put_digits(o + lead, dec.digits, n);
    return o + lead + n;
  }
  // d[.ddd]e[+-]x
  put_digits(o + 1, dec.digits, n);
  // put_digits wrote o[1] (the analyzer cannot follow its loops).
  o[0] = o[1];  // NOLINT(clang-analyzer-core.uninitialized.Assign)
  char* z = o + 1;
  if (n > 1) {
    o[1] = '.';
    z = o + n + 1;
  }
  *z++ = 'e';
  *z++ = e < 0 ? '-' : '+';
  const int x = e < 0 ? -e : e;
  if (x >= 100) {
    *z++ = static_cast<char>('0' + x / 100);
    put_pair(z, static_cast<std::size_t>(x % 100));
    return z + 2;
  }
  if (x >= 10) {
    put_pair(z, static_cast<std::size_t>(x));
    return z + 2;
  }
  *z++ = static_cast<char>('0' + x);
  return z;
}

void write_value(const Value& v, TextWriter& sink) {
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
  char digits[32];
  out.append(digits, static_cast<std::size_t>(put_float(digits, d) - digits));
}

void write(const Value& value, Text& out) {
  TextWriter sink(out);
  write_value(value, sink);
}

void write(const Value& value, Text& out, StringMemo& memo) {
  TextWriter sink(out, &memo);
  write_value(value, sink);
}

void write(const Value& value, std::string& out) {
  Text text;
  write(value, text);
  out.append(text.data(), text.size());
}

std::string write(const Value& value) {
  Text text;
  write(value, text);
  return std::string(text.view());
}

}  // namespace vorda::json
