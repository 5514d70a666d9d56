// The strict JSON reader.
//
// One recursive-descent pass over the bytes. Containers collect their
// children on two stacks shared by every nesting level (elements, members)
// and take them off in one piece when they close, into an exactly sized
// buffer; an object is sorted once, at its end, and only if its keys came
// out of order. Strings without escapes are copied straight from the text
// (one block each); strings with escapes are decoded into a reusable
// scratch buffer first. The blocks of a document of some size are cut from
// an arena: a few chunks instead of a malloc and a free per block. Numbers
// are scanned once for the grammar, the integer forms and a significand of
// up to 19 digits (eight at a time); a float that the exact fast path cannot
// give is converted by the Eisel-Lemire method from the significand and
// exponent already gathered, and only when that cannot decide (or the
// literal has more than 19 significant digits) by std::from_chars over the
// literal, which rounds correctly using every digit.
#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <new>
#include <system_error>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "json.hpp"
#include "json_bytes.hpp"
#include "json_number.hpp"
#include "json_simd.hpp"

namespace vorda::json {
namespace {

// The reader's error messages, exactly.
constexpr const char kEofList[] = "EOF while parsing a list";
constexpr const char kEofObject[] = "EOF while parsing an object";
constexpr const char kEofString[] = "EOF while parsing a string";
constexpr const char kEofValue[] = "EOF while parsing a value";
constexpr const char kExpectedColon[] = "expected `:`";
constexpr const char kExpectedListEnd[] = "expected `,` or `]`";
constexpr const char kExpectedObjectEnd[] = "expected `,` or `}`";
constexpr const char kExpectedIdent[] = "expected ident";
constexpr const char kExpectedValue[] = "expected value";
constexpr const char kInvalidEscape[] = "invalid escape";
constexpr const char kInvalidNumber[] = "invalid number";
constexpr const char kOutOfRange[] = "number out of range";
constexpr const char kControl[] = "control character (\\u0000-\\u001F) found while parsing a string";
constexpr const char kKeyNotString[] = "key must be a string";
constexpr const char kLoneSurrogate[] = "lone leading surrogate in hex escape";
constexpr const char kEndOfHexEscape[] = "unexpected end of hex escape";
constexpr const char kTrailingComma[] = "trailing comma";
constexpr const char kTrailingCharacters[] = "trailing characters";
constexpr const char kRecursion[] = "recursion limit exceeded";

// Texts from this size on take their values' blocks from an arena. A small
// text's values get blocks of their own, so that a value kept for long (a
// partition value) does not keep a chunk.
constexpr std::size_t kArenaMinText = 1024;

// Opening brackets take one level each from this budget; the one that would
// take the last level fails, so at most kDepthBudget - 1 containers are open.
constexpr int kDepthBudget = 128;

struct ByteClasses {
  std::array<bool, 256> space{};    // the four whitespace bytes
  std::array<bool, 256> special{};  // bytes that end a plain string run
  std::array<std::int8_t, 256> hex{};
};

constexpr ByteClasses make_classes() {
  ByteClasses c;
  for (char s : {' ', '\t', '\n', '\r'}) c.space[static_cast<unsigned char>(s)] = true;
  for (int b = 0; b < 0x20; ++b) c.special[b] = true;
  c.special['"'] = true;
  c.special['\\'] = true;
  for (int b = 0; b < 256; ++b) c.hex[b] = -1;
  for (int d = 0; d < 10; ++d) c.hex['0' + d] = static_cast<std::int8_t>(d);
  for (int d = 0; d < 6; ++d) {
    c.hex['a' + d] = static_cast<std::int8_t>(10 + d);
    c.hex['A' + d] = static_cast<std::int8_t>(10 + d);
  }
  return c;
}
constexpr ByteClasses kClass = make_classes();

// Powers of ten that are exact doubles.
constexpr double kExactPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                  1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

inline bool is_digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }
inline unsigned char byte(char c) { return static_cast<unsigned char>(c); }

// A run of whitespace, as in indented text: sixteen bytes at a time.
[[gnu::noinline]] const char* skip_space_run(const char* p, const char* end) {
#if defined(__SSE2__)
  const __m128i space = _mm_set1_epi8(' ');
  const __m128i tab = _mm_set1_epi8('\t');
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i cr = _mm_set1_epi8('\r');
  while (end - p >= 16) {
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, space), _mm_cmpeq_epi8(x, tab)),
                               _mm_or_si128(_mm_cmpeq_epi8(x, lf), _mm_cmpeq_epi8(x, cr)));
    unsigned other = ~static_cast<unsigned>(_mm_movemask_epi8(hit)) & 0xFFFF;
    if (other != 0) return p + __builtin_ctz(other);
    p += 16;
  }
#endif
  while (p != end && kClass.space[byte(*p)]) ++p;
  return p;
}

inline const char* skip_space(const char* p, const char* end) {
  // Most tokens follow the previous one directly or after one space.
  if (p == end || byte(*p) > ' ') return p;
  if (*p == ' ' && end - p >= 2 && byte(p[1]) > ' ') return p + 1;
  return skip_space_run(p, end);
}

// The first byte at or after p that is a quotation mark, a backslash or a
// control byte, or end.
inline const char* find_special(const char* p, const char* end) {
#if defined(__SSE2__)
  while (end - p >= 16) {
    int mask = string_specials(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    if (mask != 0) return p + __builtin_ctz(static_cast<unsigned>(mask));
    p += 16;
  }
#endif
  while (p != end && !kClass.special[byte(*p)]) ++p;
  return p;
}

// Eight bytes of text loaded little-endian (the first byte lowest): a
// non-zero byte in the result marks each byte that is not a digit; and the
// value of eight digits.
inline std::uint64_t non_digit_bytes(std::uint64_t v) {
  return ((v & 0xF0F0F0F0F0F0F0F0) | (((v + 0x0606060606060606) & 0xF0F0F0F0F0F0F0F0) >> 4)) ^ 0x3333333333333333;
}
inline std::uint32_t eight_digits_value(std::uint64_t v) {
  constexpr std::uint64_t kMask = 0x000000FF000000FF;
  constexpr std::uint64_t kMul1 = 0x000F424000000064;  // 100 + (1000000 << 32)
  constexpr std::uint64_t kMul2 = 0x0000271000000001;  // 1 + (10000 << 32)
  v -= 0x3030303030303030;
  v = (v * 10) + (v >> 8);
  v = (((v & kMask) * kMul1) + (((v >> 16) & kMask) * kMul2)) >> 32;
  return static_cast<std::uint32_t>(v);
}

// ---- Decimal to double: the Eisel-Lemire method -------------------------------
//
// w * 10^q = w * 5^q * 2^q. With w shifted so that its top bit is set and a
// 128-bit approximation of 5^q (top bit set too), the upper bits of the
// product hold the double's 53 significant bits and a rounding bit; the
// exponent is q * log2(10) plus the shifts. The approximation's error is
// below one unit of the product's 128th bit, so the result is exact unless
// the bits below the rounding bit are all ones or all zeros, which the
// checks below either settle (the second half of the power, ties) or hand
// back to the caller.
//
// The ranges involved: the caller passes 0 < w < 2^64 and q in [-342, 308]
// (below 10^-342 every w rounds to zero, above 10^308 every w overflows).

constexpr int kPow5Smallest = -342;
constexpr int kPow5Largest = 308;
constexpr std::uint64_t kPow5[][2] = {
#include "json_pow5_table.inc"
};
static_assert(std::size(kPow5) == kPow5Largest - kPow5Smallest + 1);

constexpr std::uint64_t kInfinityBits = 0x7FF0000000000000;
constexpr std::uint64_t kSignBit = 0x8000000000000000;

// floor(q * log2(10)): 217706 / 2^16 is log2(10) rounded up; exact for
// |q| <= 642 (here q is in [-342, 308]).
inline int floor_log2_pow10_of(int q) { return (217706 * q) >> 16; }

// The bits of the double nearest to w * 10^q (w > 0, q within the table),
// infinity's bits when it overflows; false when 128 bits do not decide.
inline bool eisel_lemire(std::uint64_t w, int q, std::uint64_t& bits) {
  // Step 1: w normalised, its top bit set.
  const int shift_w = std::countl_zero(w);
  w <<= shift_w;
  // Step 2: w times the high half of 5^q. 0x1FF masks the 9 bits below the
  // 55 that are kept (the top bit, 53 significant bits and the rounding
  // bit); only when they are all ones can the truncated low half carry into
  // the kept bits, so only then is it added.
  const std::uint64_t* power = kPow5[q - kPow5Smallest];
  Product z = multiply(w, power[0]);
  if ((z.high & 0x1FF) == 0x1FF) {
    const Product low = multiply(w, power[1]);
    z.low += low.high;
    if (z.low < low.high) ++z.high;
    // Still all ones below: for q in [-27, 55] the bits kept are right all
    // the same (for q >= 0 the table holds 5^q exactly, as 5^55 < 2^128;
    // for q >= -27 by the method's error bound); elsewhere the caller
    // decides.
    if (z.low == ~std::uint64_t{0} && (q < -27 || q > 55)) return false;
  }
  // Step 3: the product's top bit is bit 127 or 126; keep 54 bits below it.
  const int top = static_cast<int>(z.high >> 63);
  const int drop = top + 9;
  std::uint64_t m = z.high >> drop;
  // Step 4: the biased exponent. floor(q * log2(10)) + 63 is the exponent
  // of 5^q * 2^q as scaled; the shifts and the bias 1023 complete it.
  int exponent = floor_log2_pow10_of(q) + 63 + top - shift_w + 1023;
  if (exponent <= 0) {
    // Step 5: subnormal. No tie can occur this far down with 64-bit
    // significands.
    if (1 - exponent >= 64) {
      bits = 0;
      return true;
    }
    m >>= 1 - exponent;
    m += m & 1;
    m >>= 1;
    bits = m;  // a carry into bit 52 makes it the smallest normal
    return true;
  }
  // Step 6: an exact tie rounds to even. A tie is an odd number of 54 bits
  // times a power of two, possible only for q in [-4, 23]: for q > 23, 5^q
  // alone exceeds 2^54; for q < -4, 5^-q would divide w leaving at least
  // 2^53, so w >= 5^5 * 2^53 > 2^64.
  if (z.low <= 1 && q >= -4 && q <= 23 && (m & 3) == 1 && (m << drop) == z.high) m &= ~std::uint64_t{1};
  // Step 7: round, carry into the exponent, overflow to infinity.
  m += m & 1;
  m >>= 1;
  if (m >= (std::uint64_t{1} << 53)) {
    m = std::uint64_t{1} << 52;
    ++exponent;
  }
  if (exponent >= 0x7FF) {
    bits = kInfinityBits;
    return true;
  }
  bits = (m & ~(std::uint64_t{1} << 52)) | (static_cast<std::uint64_t>(exponent) << 52);
  return true;
}

// Four hexadecimal digits, or -1 if any is not one.
inline int hex4(const char* p) {
  // The table holds small numbers, -1 for a non-digit, not characters.
  // NOLINTBEGIN(bugprone-signed-char-misuse)
  int a = kClass.hex[byte(p[0])], b = kClass.hex[byte(p[1])];
  int c = kClass.hex[byte(p[2])], d = kClass.hex[byte(p[3])];
  // NOLINTEND(bugprone-signed-char-misuse)
  if ((a | b | c | d) < 0) return -1;
  return (a << 12) | (b << 8) | (c << 4) | d;
}

// A growable byte buffer for decoding escaped strings; kept across strings.
class Scratch {
 public:
  void clear() { size_ = 0; }
  void append(const char* p, std::size_t n) {
    if (n == 0) return;
    reserve(n);
    std::memcpy(buf_.get() + size_, p, n);
    size_ += n;
  }
  void push(char c) {
    reserve(1);
    buf_[size_++] = c;
  }
  void push_code_point(std::uint32_t cp) {
    reserve(4);
    char* o = buf_.get() + size_;
    if (cp < 0x80) {
      o[0] = static_cast<char>(cp);
      size_ += 1;
    } else if (cp < 0x800) {
      o[0] = static_cast<char>(0xC0 | (cp >> 6));
      o[1] = static_cast<char>(0x80 | (cp & 0x3F));
      size_ += 2;
    } else if (cp < 0x10000) {
      o[0] = static_cast<char>(0xE0 | (cp >> 12));
      o[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      o[2] = static_cast<char>(0x80 | (cp & 0x3F));
      size_ += 3;
    } else {
      o[0] = static_cast<char>(0xF0 | (cp >> 18));
      o[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      o[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      o[3] = static_cast<char>(0x80 | (cp & 0x3F));
      size_ += 4;
    }
  }
  const char* data() const { return buf_.get(); }
  std::string_view view() const { return {buf_.get(), size_}; }

 private:
  void reserve(std::size_t n) {
    if (cap_ - size_ >= n) return;
    std::size_t cap = std::max<std::size_t>({64, cap_ * 2, size_ + n});
    auto grown = std::make_unique<char[]>(cap);
    if (size_ != 0) std::memcpy(grown.get(), buf_.get(), size_);
    buf_ = std::move(grown);
    cap_ = cap;
  }

  std::unique_ptr<char[]> buf_;
  std::size_t size_ = 0;
  std::size_t cap_ = 0;
};

// The elements of the open arrays, innermost last. Closing an array moves
// its elements out in one piece, by relocation.
class ValueStack {
 public:
  ValueStack() = default;
  ValueStack(const ValueStack&) = delete;
  ValueStack& operator=(const ValueStack&) = delete;
  ~ValueStack() {
    for (std::size_t i = 0; i < size_; ++i) items_[i].~Value();
    std::free(items_);
  }
  std::size_t size() const { return size_; }
  void push(Value&& v) {
    if (size_ == cap_) grow();
    new (items_ + size_) Value(std::move(v));
    ++size_;
  }
  // The values from position `base` on, as an array; the stack drops them.
  Array take_from(std::size_t base, Arena* arena) {
    Array out = Array::relocate(items_ + base, size_ - base, arena);
    size_ = base;
    return out;
  }

 private:
  void grow() {
    std::size_t cap = std::max<std::size_t>(64, cap_ * 2);
    void* grown = std::realloc(static_cast<void*>(items_), cap * sizeof(Value));  // values are relocatable
    if (grown == nullptr) throw std::bad_alloc();
    items_ = static_cast<Value*>(grown);
    cap_ = cap;
  }

  Value* items_ = nullptr;
  std::size_t size_ = 0;
  std::size_t cap_ = 0;
};

// An object member while its object is open: the key is a view into the
// text, or into the key store for a key that had escapes. `prefix` holds the
// key's first eight bytes as a big-endian number (zero-padded), so most key
// comparisons are one integer comparison.
struct Pending {
  std::string_view key;
  std::uint64_t prefix;
  Value value;
};

inline std::uint64_t key_prefix(std::string_view key) {
  static_assert(std::endian::native == std::endian::little);
  return __builtin_bswap64(load_upto8(key.data(), key.size()));
}

// Unsigned byte order of two keys whose first eight bytes (zero-padded)
// are equal: eight bytes at a time, in registers; -1, 0 or 1.
inline int compare_tails(std::string_view a, std::string_view b) {
  for (std::size_t i = 8;; i += 8) {
    if (a.size() <= i || b.size() <= i) return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
    const std::uint64_t x = __builtin_bswap64(load_upto8(a.data() + i, std::min<std::size_t>(a.size() - i, 8)));
    const std::uint64_t y = __builtin_bswap64(load_upto8(b.data() + i, std::min<std::size_t>(b.size() - i, 8)));
    if (x != y) return x < y ? -1 : 1;
  }
}

// Unsigned byte order of the keys.
inline bool key_less(const Pending& a, const Pending& b) {
  if (a.prefix != b.prefix) return a.prefix < b.prefix;
  return compare_tails(a.key, b.key) < 0;
}

inline bool key_equal(const Pending& a, const Pending& b) { return a.prefix == b.prefix && a.key == b.key; }

// Stable storage for decoded keys until the read ends: a few large blocks.
class KeyStore {
 public:
  std::string_view keep(std::string_view key) {
    if (left_ < key.size()) {
      std::size_t size = std::max<std::size_t>(4096, key.size());
      blocks_.push_back(std::make_unique<char[]>(size));
      next_ = blocks_.back().get();
      left_ = size;
    }
    char* at = next_;
    if (!key.empty()) std::memcpy(at, key.data(), key.size());
    next_ += key.size();
    left_ -= key.size();
    return {at, key.size()};
  }

 private:
  std::vector<std::unique_ptr<char[]>> blocks_;
  char* next_ = nullptr;
  std::size_t left_ = 0;
};

class Reader {
 public:
  explicit Reader(std::string_view text)
      : begin_(text.data()),
        end_(text.data() + text.size()),
        arena_(text.size()),
        block_source_(text.size() >= kArenaMinText ? &arena_ : nullptr) {}

  bool run(Value& out, ReadError& error) {
    const char* p = skip_space(begin_, end_);
    if (p == end_) {
      fail_eof(kEofValue);
    } else {
      Value value;
      p = parse_value(p, value);
      if (p != nullptr) {
        p = skip_space(p, end_);
        if (p == end_) {
          out = std::move(value);
          return true;
        }
        fail(kTrailingCharacters, p);
      }
    }
    error = locate();
    return false;
  }

 private:
  // Error reporting. Each returns nullptr so that callers can `return fail(...)`.
  [[gnu::cold, gnu::noinline]] const char* fail(const char* message, const char* at) {
    message_ = message;
    at_ = at;
    return nullptr;
  }
  // EOF errors sit at the last byte of the text (nowhere for an empty text).
  [[gnu::cold, gnu::noinline]] const char* fail_eof(const char* message) {
    message_ = message;
    at_ = end_;
    return nullptr;
  }

  ReadError locate() const {
    ReadError error;
    error.message = message_;
    error.line = 1;
    if (begin_ == end_) return error;  // empty text: column 0
    const char* at = at_ == end_ ? end_ - 1 : at_;
    const char* line_start = begin_;
    for (const char* q = begin_; q != at; ++q) {
      if (*q == '\n') {
        ++error.line;
        line_start = q + 1;
      }
    }
    error.column = static_cast<std::size_t>(at - line_start) + 1;
    return error;
  }

  // p is at the first byte of a value (not whitespace, not the end).
  const char* parse_value(const char* p, Value& out) {
    switch (*p) {
      case '"': {
        std::string_view text;
        p = parse_string(p, text);
        if (p != nullptr) out = Value::string(text, block_source_);
        return p;
      }
      case '[':
        return parse_array(p, out);
      case '{':
        return parse_object(p, out);
      case 'n':
        out = Value();
        return parse_literal(p, "null", 4);
      case 't':
        out = Value::boolean(true);
        return parse_literal(p, "true", 4);
      case 'f':
        out = Value::boolean(false);
        return parse_literal(p, "false", 5);
      case '-':
      case '0':
      case '1':
      case '2':
      case '3':
      case '4':
      case '5':
      case '6':
      case '7':
      case '8':
      case '9':
        return parse_number(p, out);
      default:
        return fail(kExpectedValue, p);
    }
  }

  const char* parse_literal(const char* p, const char* word, std::size_t n) {
    if (static_cast<std::size_t>(end_ - p) >= n && std::memcmp(p, word, n) == 0) return p + n;
    for (std::size_t i = 1; i < n; ++i) {
      if (p + i == end_) return fail_eof(kEofValue);
      if (p[i] != word[i]) return fail(kExpectedIdent, p + i);
    }
    return p + n;  // not reached: the fast check above would have matched
  }

  const char* parse_array(const char* p, Value& out) {
    if (++depth_ >= kDepthBudget) return fail(kRecursion, p);
    p = skip_space(p + 1, end_);
    if (p == end_) return fail_eof(kEofList);
    const std::size_t base = elements_.size();
    if (*p != ']') {
      for (;;) {
        Value element;
        p = parse_value(p, element);
        if (p == nullptr) return nullptr;
        elements_.push(std::move(element));
        p = skip_space(p, end_);
        if (p == end_) return fail_eof(kEofList);
        if (*p == ',') {
          p = skip_space(p + 1, end_);
          if (p == end_) return fail_eof(kEofValue);
          if (*p == ']') return fail(kTrailingComma, p);
          continue;
        }
        if (*p == ']') break;
        return fail(kExpectedListEnd, p);
      }
    }
    out = Value::array(elements_.take_from(base, block_source_));
    --depth_;
    return p + 1;
  }

  const char* parse_object(const char* p, Value& out) {
    if (++depth_ >= kDepthBudget) return fail(kRecursion, p);
    p = skip_space(p + 1, end_);
    if (p == end_) return fail_eof(kEofObject);
    const std::size_t base = members_.size();
    if (*p != '}') {
      for (;;) {
        if (*p != '"') return fail(kKeyNotString, p);
        std::string_view key;
        p = parse_string(p, key);
        if (p == nullptr) return nullptr;
        // A decoded key lives in the scratch buffer, which the value may
        // reuse: it moves to the key store first.
        if (key.data() == scratch_.data()) key = keys_.keep(key);
        p = skip_space(p, end_);
        if (p == end_) return fail_eof(kEofObject);
        if (*p != ':') return fail(kExpectedColon, p);
        p = skip_space(p + 1, end_);
        if (p == end_) return fail_eof(kEofValue);
        Value value;
        p = parse_value(p, value);
        if (p == nullptr) return nullptr;
        members_.push_back(Pending{key, key_prefix(key), std::move(value)});
        p = skip_space(p, end_);
        if (p == end_) return fail_eof(kEofObject);
        if (*p == ',') {
          p = skip_space(p + 1, end_);
          if (p == end_) return fail_eof(kEofValue);
          if (*p == '}') return fail(kTrailingComma, p);
          continue;
        }
        if (*p == '}') break;
        return fail(kExpectedObjectEnd, p);
      }
    }
    out = finish_object(base);
    --depth_;
    return p + 1;
  }

  // Sorts members_[base..] by key bytes, keeps the last of equal keys, and
  // moves them into a new object value.
  Value finish_object(std::size_t base) {
    Pending* const first = members_.data() + base;
    const std::size_t n = members_.size() - base;
    bool ordered = true;
    for (std::size_t i = 0; i + 1 < n; ++i) {
      if (!key_less(first[i], first[i + 1])) {
        ordered = false;
        break;
      }
    }
    Object object;
    if (ordered) {
      std::size_t key_bytes = 0;
      for (std::size_t i = 0; i < n; ++i) key_bytes += first[i].key.size();
      object = Object::with_capacity(n, key_bytes, block_source_);
      for (std::size_t i = 0; i < n; ++i) object.append(first[i].key, std::move(first[i].value));
    } else {
      object = sorted_object(first, n);
    }
    members_.resize(base);
    return Value::object_sorted(std::move(object));
  }

  // The members out of order: an order of (prefix, position) pairs is
  // sorted instead of the members themselves, so that most comparisons
  // touch neither the members nor the keys, and equal keys stay in text
  // order, the last one winning.
  Object sorted_object(Pending* first, std::size_t n) {
    order_.resize(n);
    for (std::size_t i = 0; i < n; ++i) order_[i] = {first[i].prefix, i};
    std::sort(order_.begin(), order_.end(), [first](const Slot& a, const Slot& b) {
      if (a.prefix != b.prefix) return a.prefix < b.prefix;
      const int c = compare_tails(first[a.at].key, first[b.at].key);
      return c != 0 ? c < 0 : a.at < b.at;
    });
    std::size_t kept = 0, key_bytes = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const Pending& m = first[order_[i].at];
      if (i + 1 < n && key_equal(first[order_[i + 1].at], m)) continue;  // a later duplicate wins
      order_[kept++] = order_[i];
      key_bytes += m.key.size();
    }
    Object object = Object::with_capacity(kept, key_bytes, block_source_);
    for (std::size_t i = 0; i < kept; ++i) {
      Pending& m = first[order_[i].at];
      object.append(m.key, std::move(m.value));
    }
    return object;
  }

  // p is at the opening quotation mark. On success `text` holds the string's
  // content: a view into the text, or into the scratch buffer when the string
  // has escapes (valid until the next string is read).
  const char* parse_string(const char* p, std::string_view& text) {
    const char* start = p + 1;
    p = find_special(start, end_);
    if (p == end_) return fail_eof(kEofString);
    if (*p == '"') {
      text = std::string_view(start, static_cast<std::size_t>(p - start));
      return p + 1;
    }
    if (*p != '\\') return fail(kControl, p);
    scratch_.clear();
    scratch_.append(start, static_cast<std::size_t>(p - start));
    for (;;) {
      p = parse_escape(p);  // p is at a backslash
      if (p == nullptr) return nullptr;
      const char* run = p;
      p = find_special(p, end_);
      if (p == end_) return fail_eof(kEofString);
      scratch_.append(run, static_cast<std::size_t>(p - run));
      if (*p == '"') {
        text = scratch_.view();
        return p + 1;
      }
      if (*p != '\\') return fail(kControl, p);
    }
  }

  // p is at a backslash; decodes one escape into the scratch buffer.
  const char* parse_escape(const char* p) {
    if (++p == end_) return fail_eof(kEofString);
    char c;
    switch (*p) {
      case '"':
        c = '"';
        break;
      case '\\':
        c = '\\';
        break;
      case '/':
        c = '/';
        break;
      case 'b':
        c = '\b';
        break;
      case 'f':
        c = '\f';
        break;
      case 'n':
        c = '\n';
        break;
      case 'r':
        c = '\r';
        break;
      case 't':
        c = '\t';
        break;
      case 'u':
        return parse_unicode_escape(p);
      default:
        return fail(kInvalidEscape, p);
    }
    scratch_.push(c);
    return p + 1;
  }

  // Reads the four hexadecimal digits after the `u` at p into `unit`;
  // returns the byte after them.
  const char* hex_escape(const char* p, int& unit) {
    if (end_ - p - 1 < 4) return fail_eof(kEofString);
    unit = hex4(p + 1);
    if (unit < 0) return fail(kInvalidEscape, p + 4);
    return p + 5;
  }

  // p is at the `u` of a \u escape.
  const char* parse_unicode_escape(const char* p) {
    int unit = 0;
    p = hex_escape(p, unit);
    if (p == nullptr) return nullptr;
    if (unit < 0xD800 || unit > 0xDFFF) {
      scratch_.push_code_point(static_cast<std::uint32_t>(unit));
      return p;
    }
    if (unit >= 0xDC00) return fail(kLoneSurrogate, p - 1);
    // A leading surrogate: a \u escape with a trailing surrogate must follow.
    if (p == end_) return fail_eof(kEofString);
    if (*p != '\\') return fail(kEndOfHexEscape, p);
    if (++p == end_) return fail_eof(kEofString);
    if (*p != 'u') return fail(kEndOfHexEscape, p);
    int trailing = 0;
    p = hex_escape(p, trailing);
    if (p == nullptr) return nullptr;
    if (trailing < 0xDC00 || trailing > 0xDFFF) return fail(kLoneSurrogate, p - 1);
    scratch_.push_code_point(0x10000 + ((static_cast<std::uint32_t>(unit) - 0xD800) << 10) +
                             (static_cast<std::uint32_t>(trailing) - 0xDC00));
    return p;
  }

  // p is at a minus sign or a digit.
  const char* parse_number(const char* p, Value& out) {
    const char* const start = p;
    const bool negative = *p == '-';
    if (negative && ++p == end_) return fail_eof(kEofValue);

    // Integer part. `significand` holds the digits read so far exactly until
    // one would overflow 64 bits; `exact` says whether it still holds all.
    // The first 19 digits cannot overflow and are taken without checks.
    std::uint64_t significand = 0;
    int room = 19;
    bool exact = true;
    if (*p == '0') {
      ++p;
      if (p != end_ && is_digit(*p)) return fail(kInvalidNumber, p);
    } else if (is_digit(*p)) {
      p = take_digits(p, significand, room);
      if (p != end_ && is_digit(*p)) p = take_checked_digits(p, significand, exact, nullptr);
    } else {
      return fail(kInvalidNumber, p);
    }

    if (p == end_ || (*p != '.' && *p != 'e' && *p != 'E')) {
      if (exact) {
        if (!negative) {
          out = Value::uint(significand);
        } else if (significand == 0) {
          out = Value::real(-0.0);
        } else if (significand <= (std::uint64_t{1} << 63)) {
          out = Value::integer(static_cast<std::int64_t>(~significand + 1));
        } else {
          out = Value::real(-static_cast<double>(significand));  // correctly rounded
        }
        return p;
      }
      return parse_float(start, p, negative, significand == 0, out);
    }

    // Fraction: digits join the significand while it stays exact.
    // Minus the number of fraction digits in `significand`: as wide as the
    // text, whose zeros after "0." all join a significand that stays 0.
    std::int64_t fraction_exponent = 0;
    if (*p == '.') {
      if (++p == end_) return fail_eof(kEofValue);
      if (!is_digit(*p)) return fail(kInvalidNumber, p);
      const char* digits = p;
      p = take_digits(p, significand, room);
      fraction_exponent = digits - p;
      if (p != end_ && is_digit(*p)) p = take_checked_digits(p, significand, exact, &fraction_exponent);
    }

    // Exponent: its digits are read here so that an exponent that does not
    // fit 32 bits follows our own rule rather than the library's.
    std::int64_t exponent = 0;
    if (p != end_ && (*p == 'e' || *p == 'E')) {
      if (++p == end_) return fail_eof(kEofValue);
      bool exponent_negative = false;
      if (*p == '+' || *p == '-') {
        exponent_negative = *p == '-';
        if (++p == end_) return fail_eof(kEofValue);
      }
      if (!is_digit(*p)) return fail(kInvalidNumber, p);
      constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
      std::int32_t digits = 0;
      bool overflow = false;
      do {
        int d = *p - '0';
        if (digits > (kMax - d) / 10) overflow = true;
        if (!overflow) digits = digits * 10 + d;
        ++p;
      } while (p != end_ && is_digit(*p));
      if (overflow) {
        if (significand != 0 && !exponent_negative) return fail(kOutOfRange, p - 1);
        out = Value::real(negative ? -0.0 : 0.0);
        return p;
      }
      exponent = exponent_negative ? -std::int64_t{digits} : std::int64_t{digits};
    }

    if (exact) {
      const std::int64_t e = exponent + fraction_exponent;
      // Exact fast path: both operands are exact doubles, so the single
      // multiplication or division rounds correctly.
      if (significand <= (std::uint64_t{1} << 53) && e >= -22 && e <= 22) {
        double d = static_cast<double>(significand);
        d = e < 0 ? d / kExactPow10[-e] : d * kExactPow10[e];
        out = Value::real(negative ? -d : d);
        return p;
      }
      // Below 10^-342 even the largest significand rounds to zero.
      if (significand == 0 || e < kPow5Smallest) {
        out = Value::real(negative ? -0.0 : 0.0);
        return p;
      }
      if (e > kPow5Largest) return fail(kOutOfRange, p - 1);
      std::uint64_t bits;
      if (eisel_lemire(significand, static_cast<int>(e), bits)) {
        if (bits == kInfinityBits) return fail(kOutOfRange, p - 1);
        out = Value::real(std::bit_cast<double>(negative ? bits | kSignBit : bits));
        return p;
      }
    }
    return parse_float(start, p, negative, significand == 0, out);
  }

  // Adds up to `room` digits from p to the significand, eight bytes at a
  // time where the text allows; the caller guarantees they cannot overflow it.
  const char* take_digits(const char* p, std::uint64_t& significand, int& room) {
    if constexpr (std::endian::native == std::endian::little) {
      while (room > 0 && end_ - p >= 8) {
        std::uint64_t chunk;
        std::memcpy(&chunk, p, 8);
        std::uint64_t others = non_digit_bytes(chunk);
        int n = others == 0 ? 8 : __builtin_ctzll(others) >> 3;  // leading digits
        n = std::min(n, room);
        if (n == 8) {
          significand = significand * 100000000 + eight_digits_value(chunk);
        } else if (n > 0) {
          // The n digits, as the last bytes of an eight-digit text padded with '0'.
          const int pad = 8 * (8 - n);
          chunk = (chunk << pad) | (0x3030303030303030 >> (64 - pad));
          significand = significand * kPow10U64[n] + eight_digits_value(chunk);
        }
        p += n;
        room -= n;
        if (n < 8) return p;
      }
    }
    while (room > 0 && p != end_ && is_digit(*p)) {
      significand = significand * 10 + static_cast<unsigned>(*p - '0');
      ++p;
      --room;
    }
    return p;
  }

  // Adds digits to the significand while it does not overflow, counting
  // fraction digits into *fraction_exponent; the rest are skipped.
  const char* take_checked_digits(const char* p, std::uint64_t& significand, bool& exact,
                                  std::int64_t* fraction_exponent) {
    for (; p != end_ && is_digit(*p); ++p) {
      std::uint64_t next;
      if (!exact || __builtin_mul_overflow(significand, 10u, &next) ||
          __builtin_add_overflow(next, static_cast<unsigned>(*p - '0'), &next)) {
        exact = false;
        continue;
      }
      significand = next;
      if (fraction_exponent != nullptr) --*fraction_exponent;
    }
    return p;
  }

  // The correctly rounded double of the literal [start, end).
  const char* parse_float(const char* start, const char* end, bool negative, bool zero, Value& out) {
    double d = 0;
    auto result = std::from_chars(start, end, d);
    if (result.ec == std::errc::result_out_of_range) {
      // libstdc++ leaves d untouched and says nothing of the direction.
      if (!zero && decimal_magnitude(start, end) > 0) return fail(kOutOfRange, end - 1);
      d = negative ? -0.0 : 0.0;
    }
    out = Value::real(d);
    return end;
  }

  // For a non-zero literal, the power of ten of its leading digit (the m of
  // d.ddd times 10 to the m); its sign tells overflow from underflow.
  [[gnu::cold]] static std::int64_t decimal_magnitude(const char* p, const char* end) {
    if (*p == '-') ++p;
    std::int64_t m = 0;
    const char* q = p;
    while (q != end && is_digit(*q)) ++q;
    if (*p != '0') m = (q - p) - 1;
    if (q != end && *q == '.') {
      const char* first = ++q;
      while (q != end && *q == '0') ++q;
      if (*p == '0') m = -(q - first) - 1;
      while (q != end && is_digit(*q)) ++q;
    }
    if (q != end && (*q == 'e' || *q == 'E')) {
      std::int64_t exponent = 0;
      std::from_chars(q + 1 + (q[1] == '+'), end, exponent);  // fits 32 bits here
      m += exponent;
    }
    return m;
  }

  const char* const begin_;
  const char* const end_;
  Arena arena_;
  Arena* const block_source_;  // the arena, or null for a small text
  int depth_ = 0;
  ValueStack elements_;
  std::vector<Pending> members_;
  // The sorting order of an object's members (sorted_object).
  struct Slot {
    std::uint64_t prefix;
    std::size_t at;
  };
  std::vector<Slot> order_;
  KeyStore keys_;
  Scratch scratch_;
  const char* message_ = nullptr;
  const char* at_ = nullptr;
};

}  // namespace

bool read(std::string_view text, Value& out, ReadError& error) {
  Reader reader(text);
  return reader.run(out, error);
}

}  // namespace vorda::json
