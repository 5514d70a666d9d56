// Fuzz target: the writer over values built from the input bytes. Every
// value's text reads back to an equal value (floats bit for bit, -0.0
// included) and is written the same again; every string is written with
// exactly the writer's 34 escapes and nothing else escaped, and every float
// with the shortest digits std::to_chars finds, in the float layout.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>

#include "json.hpp"
#include "json_checks.hpp"

namespace {

using vorda::json::Array;
using vorda::json::Members;
using vorda::json::Value;

// Takes bytes off the front of the input; zeros once it runs out.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : p_(data), end_(data + size) {}

  bool empty() const { return p_ == end_; }
  std::uint8_t byte() { return p_ == end_ ? 0 : *p_++; }
  std::uint64_t bits(int bytes) {
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v = (v << 8) | byte();
    return v;
  }
  // A length byte, then that many raw bytes (fewer if the input ends).
  std::string_view bytes(std::size_t max) {
    std::size_t n = byte() % (max + 1);
    n = std::min<std::size_t>(n, static_cast<std::size_t>(end_ - p_));
    std::string_view s(reinterpret_cast<const char*>(p_), n);
    p_ += n;
    return s;
  }

 private:
  const std::uint8_t* p_;
  const std::uint8_t* end_;
};

// Floats that sit on the layout's thresholds and the number forms' edges.
constexpr double kEdgeFloats[] = {0.0,
                                  -0.0,
                                  1e15,
                                  1e16,
                                  1e-5,
                                  1e-6,
                                  0.000015,
                                  1e-7,
                                  5e-324,
                                  2.2250738585072014e-308,
                                  1.7976931348623157e308,
                                  9007199254740992.0,
                                  18446744073709551616.0,
                                  9223372036854775808.0,
                                  0.1,
                                  100.0,
                                  123.456,
                                  1e22,
                                  1e23};

double make_float(Input& in) {
  switch (in.byte() % 4) {
    case 0: {
      double d = kEdgeFloats[in.byte() % std::size(kEdgeFloats)];
      return in.byte() & 1 ? -d : d;
    }
    case 1:  // a small integer or decimal fraction
      return static_cast<double>(static_cast<std::int32_t>(in.bits(4))) / std::pow(10.0, in.byte() % 12);
    default: {
      auto bits = in.bits(8);
      // Exponent all ones is NaN or infinity, which no value holds.
      if ((bits & 0x7FF0000000000000) == 0x7FF0000000000000) bits &= ~std::uint64_t{0x0010000000000000};
      return std::bit_cast<double>(bits);
    }
  }
}

std::string_view make_key(Input& in) {
  // Mostly short keys from a few letters, so that keys repeat and share
  // prefixes; sometimes raw bytes.
  static constexpr std::string_view kKeys[] = {"", "a", "b", "ab", "abcdefgh", "abcdefghi", "abcdefgh\x01", "\xc3\xa9"};
  if (in.byte() % 4 != 0) return kKeys[in.byte() % std::size(kKeys)];
  return in.bytes(24);
}

void check_string(std::string_view s) {
  const std::string written = vorda::json::write(Value::string(s));
  vorda::fuzz::require(written == vorda::fuzz::expected_string_text(s), "string escaping", written);
}

void check_float(double d) {
  std::string written;
  vorda::json::write_float(d, written);
  const std::string expected = vorda::fuzz::expected_float_text(d);
  vorda::fuzz::require(written == expected, "float layout or digits", written + " instead of " + expected);
}

Value make_value(Input& in, int depth) {
  const int kinds = depth >= 24 || in.empty() ? 6 : 8;  // no containers past the depth cap
  switch (in.byte() % kinds) {
    case 0:
      return Value();
    case 1:
      return Value::boolean(in.byte() & 1);
    case 2:
      return Value::uint(in.bits(in.byte() % 9));
    case 3: {
      auto n = static_cast<std::int64_t>(in.bits(8));
      return Value::integer(n < 0 ? n : -n - 1);
    }
    case 4: {
      const double d = make_float(in);
      check_float(d);
      return Value::real(d);
    }
    case 5: {
      std::string_view s = in.bytes(in.byte() & 1 ? 255 : 16);
      check_string(s);
      return Value::string(s);
    }
    case 6: {
      Array items;
      for (int n = in.byte() % 8; n > 0; --n) items.push_back(make_value(in, depth + 1));
      return Value::array(std::move(items));
    }
    default: {
      Members members;
      // Sometimes more members than the reader sorts by insertion.
      int n = in.byte() % 8;
      if (n == 7) n = 20 + in.byte() % 20;
      for (; n > 0; --n) {
        std::string_view key = make_key(in);
        check_string(key);
        members.push_back({std::string(key), make_value(in, depth + 1)});
      }
      return Value::object(std::move(members));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  const Value value = make_value(in, 0);
  vorda::fuzz::check_round_trip(value);
  return 0;
}
