#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

#include "json.hpp"

using vorda::json::Array;
using vorda::json::Kind;
using vorda::json::Members;
using vorda::json::Value;

namespace {

std::string float_text(double d) {
  std::string out;
  vorda::json::write_float(d, out);
  return out;
}

Value str(const char* s) { return Value::string(s); }

}  // namespace

TEST(Writer, ScalarsAndContainers) {
  EXPECT_EQ(vorda::json::write(Value()), "null");
  EXPECT_EQ(vorda::json::write(Value::boolean(true)), "true");
  EXPECT_EQ(vorda::json::write(Value::boolean(false)), "false");
  EXPECT_EQ(vorda::json::write(Value::array({})), "[]");
  EXPECT_EQ(vorda::json::write(Value::object({})), "{}");
  EXPECT_EQ(vorda::json::write(Value::uint(18446744073709551615ULL)), "18446744073709551615");
  EXPECT_EQ(vorda::json::write(Value::integer(std::numeric_limits<std::int64_t>::min())), "-9223372036854775808");
  EXPECT_EQ(Value::integer(5).kind(), Kind::UInt);

  Array inner;
  inner.push_back(Value::uint(1));
  inner.push_back(Value::real(2.5));
  inner.push_back(Value());
  Members members;
  members.push_back({"b", Value::array(std::move(inner))});
  members.push_back({"a", str("x")});
  EXPECT_EQ(vorda::json::write(Value::object(std::move(members))), R"({"a":"x","b":[1,2.5,null]})");
}

// Integers are laid out by digit count: every count's edges, both signs.
TEST(Writer, IntegersAtEveryDigitCountEdge) {
  for (std::uint64_t power = 1;; power *= 10) {
    for (std::uint64_t n : {power - 1, power, power + 1, 2 * power - 1}) {
      EXPECT_EQ(vorda::json::write(Value::uint(n)), std::to_string(n));
      if (n <= std::uint64_t{1} << 63) {
        const auto negative = static_cast<std::int64_t>(0 - n);
        EXPECT_EQ(vorda::json::write(Value::integer(negative)), std::to_string(negative));
      }
    }
    if (power > std::numeric_limits<std::uint64_t>::max() / 10) break;
  }
}

TEST(Writer, KeysSortByUtf8BytesAndLaterDuplicatesWin) {
  Members members;
  for (const char* key : {"B", "a", "ab", "", "\xc3\xa9", "a"}) members.push_back({key, str(key)});
  members.back().value = Value::uint(2);
  Value object = Value::object(std::move(members));
  EXPECT_EQ(vorda::json::write(object), "{\"\":\"\",\"B\":\"B\",\"a\":2,\"ab\":\"ab\",\"\xc3\xa9\":\"\xc3\xa9\"}");
  ASSERT_NE(object.find("a"), nullptr);
  EXPECT_EQ(object.find("a")->as_uint(), 2u);
  EXPECT_EQ(object.find("zz"), nullptr);
}

TEST(Writer, StringEscapes) {
  EXPECT_EQ(vorda::json::write(str("a\"\\/\t\x1f\xc3\xa9")), "\"a\\\"\\\\/\\t\\u001f\xc3\xa9\"");
  EXPECT_EQ(vorda::json::write(Value::string(std::string_view("\0\b\f\n\r\x7f", 6))), "\"\\u0000\\b\\f\\n\\r\x7f\"");
  std::string all;
  for (int c = 1; c < 0x20; ++c) all.push_back(static_cast<char>(c));
  std::string written = vorda::json::write(Value::string(all));
  EXPECT_EQ(written.find('\x01'), std::string::npos);
  EXPECT_NE(written.find("\\u0001"), std::string::npos);
  EXPECT_NE(written.find("\\u001b"), std::string::npos);
}

TEST(Writer, TextAppendsAndGrowsWithoutLosingBytes) {
  // Large enough to grow several times, past the size where new pages are
  // mapped ahead; every string carries escapes.
  Array items;
  for (int i = 0; i < 40000; ++i) items.push_back(Value::string("line \"" + std::to_string(i) + "\"\n\tend"));
  const Value value = Value::array(std::move(items));
  std::string expected = "[";
  for (int i = 0; i < 40000; ++i) {
    if (i) expected += ',';
    expected += "\"line \\\"" + std::to_string(i) + "\\\"\\n\\tend\"";
  }
  expected += ']';
  vorda::json::Text text;
  text.append("prefix:");
  vorda::json::write(value, text);
  EXPECT_EQ(text.view(), "prefix:" + expected);
  std::string appended = "s:";
  vorda::json::write(value, appended);
  EXPECT_EQ(appended, "s:" + expected);
}

TEST(Writer, FloatLayout) {
  EXPECT_EQ(float_text(100.0), "100.0");
  EXPECT_EQ(float_text(1e15), "1000000000000000.0");
  EXPECT_EQ(float_text(123.456), "123.456");
  EXPECT_EQ(float_text(0.1), "0.1");
  EXPECT_EQ(float_text(0.000015), "0.000015");
  EXPECT_EQ(float_text(1e16), "1e+16");
  EXPECT_EQ(float_text(1.5e-6), "1.5e-6");
  EXPECT_EQ(float_text(1e-7), "1e-7");
  EXPECT_EQ(float_text(5e-324), "5e-324");
  EXPECT_EQ(float_text(1.7976931348623157e308), "1.7976931348623157e+308");
  EXPECT_EQ(float_text(18446744073709551616.0), "1.8446744073709552e+19");
  EXPECT_EQ(float_text(0.0), "0.0");
  EXPECT_EQ(float_text(-0.0), "-0.0");
  EXPECT_EQ(float_text(-2.5), "-2.5");
  EXPECT_EQ(float_text(1e-5), "0.00001");
  EXPECT_EQ(float_text(1.25e-5), "0.0000125");
  EXPECT_EQ(float_text(4503599627370497.0), "4503599627370497.0");
  EXPECT_EQ(float_text(1.5), "1.5");
  EXPECT_EQ(float_text(std::nan("")), "null");
}

// Every written float reads back to the same double and follows the layout.
TEST(Writer, FloatsRoundTripAndFollowTheLayout) {
  std::mt19937_64 rng(20261208);
  for (int i = 0; i < 200000; ++i) {
    double d = std::bit_cast<double>(rng());
    if (!std::isfinite(d)) continue;
    if (i % 4 == 0) d = std::ldexp(static_cast<double>(rng() >> 11), static_cast<int>(rng() % 120) - 60);
    std::string text = float_text(d);
    double back = 0;
    auto res = std::from_chars(text.data(), text.data() + text.size(), back);
    ASSERT_EQ(res.ec, std::errc()) << text;
    ASSERT_EQ(res.ptr, text.data() + text.size()) << text;
    ASSERT_EQ(std::bit_cast<std::uint64_t>(back), std::bit_cast<std::uint64_t>(d)) << text;

    // Positional form exactly for decimal exponents -5..15, else d[.ddd]e±x.
    double mag = std::fabs(d);
    bool positional = mag >= 1e-5 && mag < 1e16;
    std::size_t e = text.find('e');
    if (positional) {
      ASSERT_EQ(e, std::string::npos) << text;
      ASSERT_NE(text.find('.'), std::string::npos) << text;
      ASSERT_NE(text.back(), '.') << text;
    } else if (mag != 0) {
      ASSERT_NE(e, std::string::npos) << text;
      ASSERT_TRUE(text[e + 1] == '+' || text[e + 1] == '-') << text;
      ASSERT_NE(text[e + 2], '0') << text;
      ASSERT_NE(text[e - 1], '0') << text;
    }
  }
}

// The digits are the shortest that read back, nearest the value: the same
// digits and decimal exponent as std::to_chars gives, over random bit
// patterns, whole numbers, powers of two (whose lower neighbour is nearer)
// and subnormals.
TEST(Writer, FloatDigitsAreShortestAndNearest) {
  // Significant digits without leading or trailing zeros, and the decimal
  // exponent of the first.
  auto canonical = [](std::string text) {
    if (text[0] == '-') text.erase(0, 1);
    int exponent = 0;
    if (std::size_t e = text.find('e'); e != std::string::npos) {
      exponent = std::stoi(text.substr(e + 1));
      text.erase(e);
    }
    std::size_t point = text.find('.');
    if (point == std::string::npos) point = text.size();
    std::string digits = text.substr(0, point) + (point < text.size() ? text.substr(point + 1) : "");
    exponent += static_cast<int>(point) - 1;
    std::size_t lead = digits.find_first_not_of('0');
    exponent -= static_cast<int>(lead);
    digits = digits.substr(lead);
    digits.erase(digits.find_last_not_of('0') + 1);
    return digits + "e" + std::to_string(exponent);
  };
  auto check = [&](double d) {
    if (d == 0) return;
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
    ASSERT_EQ(canonical(float_text(d)), canonical(std::string(buf, res.ptr))) << float_text(d);
  };
  std::mt19937_64 rng(7719);
  for (int i = 0; i < 300000; ++i) {
    double d = std::bit_cast<double>(rng() >> 1);
    if (std::isfinite(d) && d != 0) check(d);
  }
  for (int e = -1074; e <= 1023; ++e) {
    check(std::ldexp(1.0, e));
    check(std::nextafter(std::ldexp(1.0, e), 0.0));
    check(std::nextafter(std::ldexp(1.0, e), INFINITY));
  }
  for (int i = 0; i < 50000; ++i) {
    check(static_cast<double>(rng() >> (rng() % 64)));
    check(std::bit_cast<double>(rng() >> 12));  // subnormal
    check(static_cast<double>(rng() % 100000) / 1000.0);
  }
}

TEST(Value, CopiesAreDeepAndMovesLeaveNull) {
  Array items;
  items.push_back(str("payload that is longer than any small-string buffer"));
  Value original = Value::array(std::move(items));
  Value copy = original;
  EXPECT_EQ(copy, original);
  EXPECT_NE(copy.as_array()[0].as_string().data(), original.as_array()[0].as_string().data());
  Value moved = std::move(copy);
  EXPECT_TRUE(copy.is_null());  // NOLINT(bugprone-use-after-move): documented state
  EXPECT_EQ(moved, original);
  EXPECT_FALSE(Value::real(0.0) == Value::real(-0.0));
  EXPECT_FALSE(Value::uint(1) == Value::real(1.0));
  EXPECT_LE(sizeof(Value), 24u);
}

#ifndef NDEBUG
// Debug builds stop at an object whose keys break the stored order.
TEST(ValueDeathTest, ObjectKeysOutOfOrderOrRepeatedAreCaught) {
  const auto build = [](const char* first, const char* second) {
    Members members;
    members.push_back({first, Value()});
    members.push_back({second, Value()});
    return Value::object_sorted(std::move(members));
  };
  EXPECT_DEATH(build("b", "a"), "Assertion");
  EXPECT_DEATH(build("a", "a"), "Assertion");
  EXPECT_EQ(build("a", "b").as_object().size(), 2u);
}
#endif
