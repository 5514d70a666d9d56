// The strict reader: accepted texts and their values, every error
// message at its position, nesting, numbers at their boundaries, and
// read/write round trips.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "json.hpp"

using vorda::json::Kind;
using vorda::json::Members;
using vorda::json::ReadError;
using vorda::json::Value;

namespace {

Value parse(std::string_view text) {
  Value value;
  ReadError error;
  EXPECT_TRUE(vorda::json::read(text, value, error)) << text << ": " << error.describe();
  return value;
}

// The error's text form, or "ok" when the text reads.
std::string error_of(std::string_view text) {
  Value value;
  ReadError error;
  if (vorda::json::read(text, value, error)) return "ok";
  return error.describe();
}

// Read, then write: the text a value read from `text` is written as.
std::string rewrite(std::string_view text) { return vorda::json::write(parse(text)); }

std::uint64_t bits(double d) { return std::bit_cast<std::uint64_t>(d); }

// A number literal reads as strtod rounds it (or out of range where strtod
// overflows); literals without fraction or exponent stay integers.
void expect_like_strtod(const std::string& text) {
  Value v;
  ReadError error;
  bool ok = vorda::json::read(text, v, error);
  double expected = std::strtod(text.c_str(), nullptr);
  if (std::isinf(expected)) {
    ASSERT_FALSE(ok) << text;
    ASSERT_EQ(std::string(error.message), "number out of range") << text;
    return;
  }
  ASSERT_TRUE(ok) << text << ": " << error.describe();
  if (v.kind() == Kind::Float) {
    ASSERT_EQ(bits(v.as_float()), bits(expected)) << text;
  } else {
    ASSERT_EQ(text.find_first_of(".eE"), std::string::npos) << text;
    ASSERT_EQ(vorda::json::write(v), text);
  }
}

struct Case {
  std::string text;
  std::string expected;
};
// A short printable form of a test text (it also names the CTest case).
std::string shown(const std::string& full) {
  const std::string text = full.size() <= 40 ? full : full.substr(0, 24) + "..." + full.substr(full.size() - 13);
  std::string out = "text `";
  for (std::size_t i = 0; i < text.size(); ++i) {
    auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x20 || b >= 0x7f) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", b);
      out += hex;
    } else {
      out += text[i];
    }
  }
  return out + "`";
}
std::ostream& operator<<(std::ostream& os, const Case& c) { return os << shown(c.text); }

// ---------------------------------------------------------------------------
// Errors: every message of the table at its byte.

class ReaderError : public testing::TestWithParam<Case> {};

TEST_P(ReaderError, MessageAndPosition) { EXPECT_EQ(error_of(GetParam().text), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    ValuesAndLiterals, ReaderError,
    testing::Values(
        Case{"", "EOF while parsing a value at line 1 column 0"},
        Case{"   ", "EOF while parsing a value at line 1 column 3"}, Case{"NaN", "expected value at line 1 column 1"},
        Case{"Infinity", "expected value at line 1 column 1"}, Case{"[1, NaN]", "expected value at line 1 column 5"},
        Case{"+1", "expected value at line 1 column 1"}, Case{"True", "expected value at line 1 column 1"},
        Case{".5", "expected value at line 1 column 1"}, Case{"nul", "EOF while parsing a value at line 1 column 3"},
        Case{"t", "EOF while parsing a value at line 1 column 1"}, Case{"nulL", "expected ident at line 1 column 4"},
        Case{"trUe", "expected ident at line 1 column 3"}, Case{"falsy", "expected ident at line 1 column 5"},
        Case{"nul ", "expected ident at line 1 column 4"}, Case{"nullx", "trailing characters at line 1 column 5"},
        Case{"1 x", "trailing characters at line 1 column 3"}, Case{"[1] ]", "trailing characters at line 1 column 5"},
        Case{"{}{}", "trailing characters at line 1 column 3"}, Case{"0x10", "trailing characters at line 1 column 2"},
        Case{"1.5.2", "trailing characters at line 1 column 4"},
        Case{std::string("1\0", 2), "trailing characters at line 1 column 2"},
        Case{"\f1", "expected value at line 1 column 1"}));

INSTANTIATE_TEST_SUITE_P(Arrays, ReaderError,
                         testing::Values(Case{"[", "EOF while parsing a list at line 1 column 1"},
                                         Case{"[1", "EOF while parsing a list at line 1 column 2"},
                                         Case{"[1 ", "EOF while parsing a list at line 1 column 3"},
                                         Case{"[1,", "EOF while parsing a value at line 1 column 3"},
                                         Case{"[1, ", "EOF while parsing a value at line 1 column 4"},
                                         Case{"[1,]", "trailing comma at line 1 column 4"},
                                         Case{"[1, ]", "trailing comma at line 1 column 5"},
                                         Case{"[,1]", "expected value at line 1 column 2"},
                                         Case{"[1,,2]", "expected value at line 1 column 4"},
                                         Case{"[1 2]", "expected `,` or `]` at line 1 column 4"},
                                         Case{"[1}", "expected `,` or `]` at line 1 column 3"},
                                         Case{"[[]", "EOF while parsing a list at line 1 column 3"}));

INSTANTIATE_TEST_SUITE_P(Objects, ReaderError,
                         testing::Values(Case{"{", "EOF while parsing an object at line 1 column 1"},
                                         Case{"{ ", "EOF while parsing an object at line 1 column 2"},
                                         Case{R"({"a")", "EOF while parsing an object at line 1 column 4"},
                                         Case{R"({"a":)", "EOF while parsing a value at line 1 column 5"},
                                         Case{R"({"a":1)", "EOF while parsing an object at line 1 column 6"},
                                         Case{R"({"a":1,)", "EOF while parsing a value at line 1 column 7"},
                                         Case{R"({"a)", "EOF while parsing a string at line 1 column 3"},
                                         Case{R"({"a" 1})", "expected `:` at line 1 column 6"},
                                         Case{R"({"a":1 "b":2})", "expected `,` or `}` at line 1 column 8"},
                                         Case{R"({"a":1])", "expected `,` or `}` at line 1 column 7"},
                                         Case{"{1:2}", "key must be a string at line 1 column 2"},
                                         Case{"{,}", "key must be a string at line 1 column 2"},
                                         Case{R"({"a":1,2:3})", "key must be a string at line 1 column 8"},
                                         Case{R"({"a":1,})", "trailing comma at line 1 column 8"},
                                         Case{R"({"a":})", "expected value at line 1 column 6"}));

INSTANTIATE_TEST_SUITE_P(
    Strings, ReaderError,
    testing::Values(Case{"\"", "EOF while parsing a string at line 1 column 1"},
                    Case{"\"abc", "EOF while parsing a string at line 1 column 4"},
                    Case{"\"a\x01z\"",
                         "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
                    Case{std::string("\"\0\"", 3),
                         "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"},
                    Case{"\"a\\x\"", "invalid escape at line 1 column 4"},
                    Case{"\"\\U0041\"", "invalid escape at line 1 column 3"},
                    Case{"\"\\", "EOF while parsing a string at line 1 column 2"},
                    // A \u escape with fewer than four bytes left is EOF...
                    Case{"\"\\u12\"", "EOF while parsing a string at line 1 column 6"},
                    // ...otherwise a bad digit is reported at the fourth byte after the u.
                    Case{"\"\\u12\"]", "invalid escape at line 1 column 7"},
                    Case{"\"\\u12G4\"", "invalid escape at line 1 column 7"},
                    Case{"\"\\uD800\"", "unexpected end of hex escape at line 1 column 8"},
                    Case{"\"\\ud800x\"", "unexpected end of hex escape at line 1 column 8"},
                    Case{"\"\\ud800\\n\"", "unexpected end of hex escape at line 1 column 9"},
                    Case{"\"\\ud800", "EOF while parsing a string at line 1 column 7"},
                    Case{"\"\\ud800\\", "EOF while parsing a string at line 1 column 8"},
                    Case{"\"\\ud800\\u", "EOF while parsing a string at line 1 column 9"},
                    Case{"\"\\ud800\\uDC0G\"", "invalid escape at line 1 column 13"},
                    Case{"\"\\ud800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
                    Case{"\"\\ud800\\ud800\"", "lone leading surrogate in hex escape at line 1 column 13"},
                    Case{"\"\\udc00\"", "lone leading surrogate in hex escape at line 1 column 7"},
                    Case{"\"\\uDFFF", "lone leading surrogate in hex escape at line 1 column 7"}));

INSTANTIATE_TEST_SUITE_P(
    Numbers, ReaderError,
    testing::Values(Case{"-", "EOF while parsing a value at line 1 column 1"},
                    Case{"-Infinity", "invalid number at line 1 column 2"},
                    Case{"[-]", "invalid number at line 1 column 3"}, Case{"01", "invalid number at line 1 column 2"},
                    Case{"-01", "invalid number at line 1 column 3"}, Case{"00", "invalid number at line 1 column 2"},
                    Case{"1.", "EOF while parsing a value at line 1 column 2"},
                    Case{"1.e5", "invalid number at line 1 column 3"},
                    Case{"1e", "EOF while parsing a value at line 1 column 2"},
                    Case{"1E+", "EOF while parsing a value at line 1 column 3"},
                    Case{"1e+x", "invalid number at line 1 column 4"}, Case{"1ex", "invalid number at line 1 column 3"},
                    // "number out of range" sits at the last digit of the number.
                    Case{"1e400", "number out of range at line 1 column 5"},
                    Case{"[-1e400]", "number out of range at line 1 column 7"},
                    Case{"1.7976931348623159e308", "number out of range at line 1 column 22"},
                    Case{"1e2147483647", "number out of range at line 1 column 12"},
                    Case{"1e2147483648", "number out of range at line 1 column 12"},
                    Case{"[0.001e+21474836480000 ]", "number out of range at line 1 column 22"},
                    Case{"1" + std::string(309, '0'), "number out of range at line 1 column 310"},
                    Case{std::string(309, '9'), "number out of range at line 1 column 309"},
                    Case{"-" + std::string(309, '9') + ".5", "number out of range at line 1 column 312"}));

// The column counts bytes within the line; a line feed starts line 2.
INSTANTIATE_TEST_SUITE_P(
    Lines, ReaderError,
    testing::Values(Case{"[1,\n2,\nx]", "expected value at line 3 column 1"},
                    Case{"\n\n  NaN", "expected value at line 3 column 3"},
                    Case{"[\n1,\n]", "trailing comma at line 3 column 1"},
                    Case{"{\"a\":1,\r\n\"b\" 2}", "expected `:` at line 2 column 5"},
                    Case{"[\"\xc3\xa9\", x]", "expected value at line 1 column 8"},
                    Case{"[1,\n 2,\n  3 4]", "expected `,` or `]` at line 3 column 5"},
                    // A line feed belongs to the line it ends: the EOF error at a
                    // final line feed, or a raw line feed in a string, is on that line.
                    Case{"[1,\n", "EOF while parsing a value at line 1 column 4"},
                    Case{"[\"a\nb\"]",
                         "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 4"}));

// ---------------------------------------------------------------------------
// Nesting: 127 open containers read, the 128th opening bracket fails.

TEST(ReaderNesting, At127LevelsReadsAndThe128thBracketFails) {
  for (std::string_view open : {"[", "{\"k\":", "[{\"k\":"}) {
    const bool pairs = open.size() > 5;
    for (int depth : {126, 127, 128, 200}) {
      std::string text;
      std::string close;
      for (int i = 0; i < depth; ++i) {
        bool object = pairs ? i % 2 == 1 : open != "[";
        text += object ? "{\"k\":" : "[";
        close.insert(0, object ? "}" : "]");
      }
      text += "1" + close;
      SCOPED_TRACE(std::string(open) + " x" + std::to_string(depth));
      if (depth <= 127) {
        Value v = parse(text);
        EXPECT_EQ(vorda::json::write(v), text);
      } else {
        std::size_t column = 0;  // the 128th opening bracket
        for (int i = 0, seen = 0; seen < 128; ++i) {
          if (text[i] == '[' || text[i] == '{') ++seen;
          column = static_cast<std::size_t>(i) + 1;
        }
        EXPECT_EQ(error_of(text), "recursion limit exceeded at line 1 column " + std::to_string(column));
      }
    }
  }
  EXPECT_EQ(error_of(std::string(128, '[')), "recursion limit exceeded at line 1 column 128");
  // Closing a container gives its level back.
  std::string deep = std::string(126, '[') + std::string(126, ']');
  EXPECT_EQ(error_of("[" + deep + "," + deep + "]"), "ok");
}

// ---------------------------------------------------------------------------
// Numbers: forms and correctly rounded values.

struct NumberCase {
  std::string text;
  Kind kind;
  std::string written;
};
std::ostream& operator<<(std::ostream& os, const NumberCase& c) { return os << shown(c.text); }

class ReaderNumber : public testing::TestWithParam<NumberCase> {};

TEST_P(ReaderNumber, FormAndWrittenText) {
  Value v = parse(GetParam().text);
  EXPECT_EQ(v.kind(), GetParam().kind);
  EXPECT_EQ(vorda::json::write(v), GetParam().written);
}

// 2 to the -1075 exactly: half of the smallest subnormal.
const std::string kHalfOfMinSubnormal =
    "2.470328229206232720882843964341106861825299013071623822127928412503377536351043759326499181808179961898982823"
    "47722858865463328355177969898199387398005390939063150356595155702263922908583924491051844359318028499365361525"
    "00319370457678249219365623669863658480757001585769269903706311928279558551332927834338409351978015531246597263"
    "57957462276646527282722005637400648549997709659947045402082816622623785739345073633900796776193057750674017632"
    "46736009689513405355374585166611342237666786041621596804619144672918403005300575308490487653917113865916462395"
    "24912623653881879636239373280423891018672348497668235089863388587925628302755995657524455507255189313690836254"
    "779186948667994968324049705821028513185451396213837722826145437693412532098591327667236328125e-324";
// The largest double plus half its spacing (2 to the 970) exactly.
const std::string kMaxPlusHalfUlp =
    "17976931348623158079372897140530341507993413271003782693617377898044496829276475094664901797758720709633028641"
    "66928879109465555478519404026306574886715058206819089020007083836762738548458177115317644757302700698555713669"
    "59622842914819860834936475292719074168444365510704342711559699508093042880177904174497792";

INSTANTIATE_TEST_SUITE_P(
    Integers, ReaderNumber,
    testing::Values(NumberCase{"0", Kind::UInt, "0"}, NumberCase{"5", Kind::UInt, "5"},
                    NumberCase{"-1", Kind::Int, "-1"}, NumberCase{"-0", Kind::Float, "-0.0"},
                    NumberCase{"9223372036854775808", Kind::UInt, "9223372036854775808"},
                    NumberCase{"18446744073709551615", Kind::UInt, "18446744073709551615"},
                    NumberCase{"18446744073709551616", Kind::Float, "1.8446744073709552e+19"},
                    NumberCase{"-9223372036854775807", Kind::Int, "-9223372036854775807"},
                    NumberCase{"-9223372036854775808", Kind::Int, "-9223372036854775808"},
                    NumberCase{"-9223372036854775809", Kind::Float, "-9.223372036854776e+18"},
                    NumberCase{"-18446744073709551615", Kind::Float, "-1.8446744073709552e+19"},
                    NumberCase{"-18446744073709551616", Kind::Float, "-1.8446744073709552e+19"},
                    NumberCase{"9007199254740993", Kind::UInt, "9007199254740993"},
                    NumberCase{"123456789012345678901234567890", Kind::Float, "1.2345678901234568e+29"},
                    NumberCase{"1180591620717411303424", Kind::Float, "1.1805916207174113e+21"},
                    // 309 and 310 digits: 10**308 is finite, 10**309 is not.
                    NumberCase{"1" + std::string(308, '0'), Kind::Float, "1e+308"},
                    NumberCase{"-1" + std::string(308, '0'), Kind::Float, "-1e+308"},
                    NumberCase{kMaxPlusHalfUlp.substr(0, 308) + "1", Kind::Float, "1.7976931348623157e+308"}));

INSTANTIATE_TEST_SUITE_P(
    Floats, ReaderNumber,
    testing::Values(
        NumberCase{"5.0", Kind::Float, "5.0"}, NumberCase{"-0.0", Kind::Float, "-0.0"},
        NumberCase{"0e5", Kind::Float, "0.0"}, NumberCase{"-0e-5", Kind::Float, "-0.0"},
        NumberCase{"1.5e-05", Kind::Float, "0.000015"}, NumberCase{"1e-06", Kind::Float, "1e-6"},
        NumberCase{"1e+16", Kind::Float, "1e+16"}, NumberCase{"1e15", Kind::Float, "1000000000000000.0"},
        NumberCase{"1E2", Kind::Float, "100.0"}, NumberCase{"2.5E-3", Kind::Float, "0.0025"},
        NumberCase{"123.456e-2", Kind::Float, "1.23456"},
        NumberCase{"1e0000000000000000000000000001", Kind::Float, "10.0"},
        // The fault mended: every literal is rounded correctly.
        NumberCase{"1e-23", Kind::Float, "1e-23"}, NumberCase{"9.007413773120273", Kind::Float, "9.007413773120273"},
        NumberCase{"1e23", Kind::Float, "1e+23"}, NumberCase{"8.41e21", Kind::Float, "8.41e+21"},
        NumberCase{"9007199254740993.0", Kind::Float, "9007199254740992.0"},
        NumberCase{"9007199254740993.0000000001", Kind::Float, "9007199254740994.0"},
        NumberCase{"1.00000000000000011102230246251565404236316680908203125", Kind::Float, "1.0"},
        NumberCase{"1.00000000000000011102230246251565404236316680908203126", Kind::Float, "1.0000000000000002"},
        NumberCase{"1" + std::string(400, '0') + "e-400", Kind::Float, "1.0"},
        NumberCase{"0." + std::string(400, '0') + "1e400", Kind::Float, "0.1"},
        NumberCase{"0." + std::string(400, '0') + "1e-2147483647", Kind::Float, "0.0"},
        // The top of the range.
        NumberCase{"1.7976931348623157e308", Kind::Float, "1.7976931348623157e+308"},
        NumberCase{"1.7976931348623158e308", Kind::Float, "1.7976931348623157e+308"},
        NumberCase{"-1.7976931348623157e+308", Kind::Float, "-1.7976931348623157e+308"},
        // Normals, subnormals and underflow to a signed zero.
        NumberCase{"2.2250738585072014e-308", Kind::Float, "2.2250738585072014e-308"},
        NumberCase{"2.225073858507201e-308", Kind::Float, "2.225073858507201e-308"},
        NumberCase{"5e-324", Kind::Float, "5e-324"}, NumberCase{"4.9406564584124654e-324", Kind::Float, "5e-324"},
        NumberCase{"3e-324", Kind::Float, "5e-324"}, NumberCase{"2.4703282292062328e-324", Kind::Float, "5e-324"},
        NumberCase{"2.4703282292062327e-324", Kind::Float, "0.0"},
        NumberCase{"-2.4703282292062327e-324", Kind::Float, "-0.0"},
        NumberCase{kHalfOfMinSubnormal, Kind::Float, "0.0"},  // a tie: to even, zero
        NumberCase{kHalfOfMinSubnormal.substr(0, kHalfOfMinSubnormal.size() - 5) + "1e-324", Kind::Float, "5e-324"},
        NumberCase{"1e-324", Kind::Float, "0.0"}, NumberCase{"-1e-400", Kind::Float, "-0.0"},
        NumberCase{"1e-2147483647", Kind::Float, "0.0"},
        // Exponent digits beyond 32 bits: zero unless positive with a non-zero significand.
        NumberCase{"1e-2147483648", Kind::Float, "0.0"}, NumberCase{"-1e-99999999999999999999", Kind::Float, "-0.0"},
        NumberCase{"0e2147483648", Kind::Float, "0.0"}, NumberCase{"-0.000e99999999999", Kind::Float, "-0.0"}));

TEST(ReaderNumber, MaxPlusHalfUlpRoundsToInfinity) {
  EXPECT_EQ(error_of(kMaxPlusHalfUlp), "number out of range at line 1 column 309");
  EXPECT_EQ(error_of(kMaxPlusHalfUlp.substr(0, 300) + "." + kMaxPlusHalfUlp.substr(300) + "e9"),
            "number out of range at line 1 column 312");
  EXPECT_EQ(error_of("0.0" + kMaxPlusHalfUlp + "e310"), "number out of range at line 1 column 316");
  EXPECT_EQ(rewrite("0.0" + kMaxPlusHalfUlp.substr(0, 308) + "e310"), "1.7976931348623157e+308");
}

// Python's repr of a float: shortest digits, exponent form outside 1e-4..1e16
// with at least two exponent digits.
std::string python_repr(double d) {
  char buf[40];
  auto end = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific).ptr;
  std::string sci(buf, end);
  std::size_t e = sci.find('e');
  int exponent = std::atoi(sci.c_str() + e + 1);
  std::string digits;
  for (std::size_t i = 0; i < e; ++i) {
    if (std::isdigit(static_cast<unsigned char>(sci[i]))) digits += sci[i];
  }
  std::string sign = d < 0 ? "-" : "";
  if (exponent < -4 || exponent >= 16) {
    std::string mant = digits.substr(0, 1) + (digits.size() > 1 ? "." + digits.substr(1) : "");
    char exp[16];
    std::snprintf(exp, sizeof exp, "e%c%02d", exponent < 0 ? '-' : '+', std::abs(exponent));
    return sign + mant + exp;
  }
  if (exponent < 0) return sign + "0." + std::string(-exponent - 1, '0') + digits;
  if (static_cast<int>(digits.size()) <= exponent + 1)
    return sign + digits + std::string(exponent + 1 - digits.size(), '0') + ".0";
  return sign + digits.substr(0, exponent + 1) + "." + digits.substr(exponent + 1);
}

TEST(ReaderNumber, WrittenAndReprFloatsReadBackBitIdentical) {
  EXPECT_EQ(python_repr(1.5e-5), "1.5e-05");
  EXPECT_EQ(python_repr(-123.0), "-123.0");
  EXPECT_EQ(python_repr(1e16), "1e+16");
  std::mt19937_64 rng(5303);
  for (int i = 0; i < 300000; ++i) {
    double d = std::bit_cast<double>(rng());
    if (i % 3 == 0) d = std::ldexp(static_cast<double>(rng() >> (rng() % 64)), static_cast<int>(rng() % 200) - 100);
    if (!std::isfinite(d)) continue;
    std::string written;
    vorda::json::write_float(d, written);
    for (const std::string& text : {written, python_repr(d)}) {
      Value v;
      ReadError error;
      ASSERT_TRUE(vorda::json::read(text, v, error)) << text << ": " << error.describe();
      ASSERT_EQ(v.kind(), Kind::Float) << text;
      ASSERT_EQ(bits(v.as_float()), bits(d)) << text;
    }
  }
}

// Random literals of up to 50 digits with random exponents agree with the
// C library's correctly rounded strtod, and integers keep their exact value.
TEST(ReaderNumber, RandomLiteralsAreCorrectlyRounded) {
  std::mt19937_64 rng(1136);
  auto digits = [&](int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += static_cast<char>('0' + rng() % 10);
    return s;
  };
  for (int i = 0; i < 200000; ++i) {
    std::string text = rng() % 2 ? "-" : "";
    if (rng() % 4 == 0) {
      text += "0." + std::string(rng() % 30, '0') + digits(1 + static_cast<int>(rng() % 20));
    } else {
      text += std::to_string(1 + rng() % 9) + digits(static_cast<int>(rng() % 20));
      if (rng() % 4 != 0) text += "." + digits(1 + static_cast<int>(rng() % 20));
    }
    if (rng() % 2) text += "e" + std::to_string(static_cast<int>(rng() % 700) - 350);
    expect_like_strtod(text);
    if (HasFatalFailure()) return;
  }
  for (int i = 0; i < 20000; ++i) {
    std::uint64_t u = rng() >> (rng() % 64);
    EXPECT_EQ(parse(std::to_string(u)).as_uint(), u);
    auto s = static_cast<std::int64_t>(rng() | (std::uint64_t{1} << 63)) >> (rng() % 63);
    EXPECT_EQ(parse(std::to_string(s)).as_int(), s);
  }
}

// Literals whose significand fits 64 bits take the 128-bit conversion: every
// decimal exponent of its table and past both ends, exact ties between two
// doubles (rounded to even), and the subnormal range, against strtod.
TEST(ReaderNumber, SixtyFourBitSignificandsAtEveryExponent) {
  std::mt19937_64 rng(4021);
  for (int q = -380; q <= 330; ++q) {
    for (int i = 0; i < 60; ++i) {
      std::uint64_t w = rng() >> (rng() % 64);
      if (i % 3 == 0) w = std::uint64_t{9999999999999999999u} - rng() % 1000;  // 19 digits
      if (w == 0) w = 1;
      expect_like_strtod(std::to_string(w) + "e" + std::to_string(q));
      expect_like_strtod("-" + std::to_string(w) + ".5e" + std::to_string(q));
    }
  }
  // Exact midpoints t * 2^s with t odd and 54 bits long: written as
  // w * 10^q with t divisible by 5^q, so that w = (t / 5^q) * 2^(s - q).
  std::uint64_t five = 1;
  for (int q = 0; q <= 23; ++q, five *= 5) {
    for (int i = 0; i < 200; ++i) {
      std::uint64_t c = (rng() >> std::min(63, 10 + static_cast<int>(std::bit_width(five)))) | 1;
      std::uint64_t t = c * five;
      if (std::bit_width(t) != 54) {
        while (std::bit_width(t) < 54 && std::bit_width(c) < 63) {
          c = (c << 1) | 1;
          t = c * five;
        }
        if (std::bit_width(t) != 54 || t % 2 == 0) continue;
      }
      for (int s = q; s <= q + 8 && std::bit_width(c) + (s - q) < 64; ++s) {
        expect_like_strtod(std::to_string(c << (s - q)) + "e" + std::to_string(q));
      }
    }
  }
  // Around the smallest subnormal and the smallest normal.
  for (const char* text :
       {"4.9406564584124654e-324", "2.4703282292062328e-324", "2.4703282292062327e-324", "2.2250738585072011e-308",
        "2.2250738585072014e-308", "2.2250738585072009e-308", "1.7976931348623157e308", "1.7976931348623158e308",
        "1.7976931348623159e308", "7.2057594037927933e16", "9007199254740993.0", "9007199254740995.0"}) {
    expect_like_strtod(text);
  }
}

// ---------------------------------------------------------------------------
// Strings.

TEST(ReaderString, EscapesDecodeToUtf8) {
  EXPECT_EQ(parse(R"("\"\\\/\b\f\n\r\t")").as_string(), "\"\\/\b\f\n\r\t");
  EXPECT_EQ(parse(R"("a\u0000b")").as_string(), std::string_view("a\0b", 3));
  EXPECT_EQ(parse(R"("\u00e9\u00E9\u20AC\uFFFF\u007f")").as_string(), "\xc3\xa9\xc3\xa9\xe2\x82\xac\xef\xbf\xbf\x7f");
  EXPECT_EQ(parse(R"("x\ud83d\ude00y")").as_string(), "x\xf0\x9f\x98\x80y");
  EXPECT_EQ(parse(R"("\uDBFF\uDFFF")").as_string(), "\xf4\x8f\xbf\xbf");
  EXPECT_EQ(rewrite(R"("\ud83d\ude00")"), "\"\xf0\x9f\x98\x80\"");
  EXPECT_EQ(parse("\"\"").as_string(), "");
  // Bytes from 0x20 up are taken as they are; UTF-8 is not checked.
  EXPECT_EQ(parse("\"\x7f\xc3\xa9\xff\"").as_string(), "\x7f\xc3\xa9\xff");
  // A key with escapes keeps its text while the value reuses the buffer.
  Value v = parse(R"({"\u00e9\n": "\u00e8 value", "k\"": ["\t", {"\u0041": "\u0042"}]})");
  EXPECT_EQ(vorda::json::write(v), "{\"k\\\"\":[\"\\t\",{\"A\":\"B\"}],\"\xc3\xa9\\n\":\"\xc3\xa8 value\"}");
}

// A special byte at every offset of a long string, around the 16-byte blocks.
TEST(ReaderString, SpecialBytesAtEveryOffset) {
  for (int offset = 0; offset < 40; ++offset) {
    std::string head(static_cast<std::size_t>(offset), 'a');
    std::string tail(static_cast<std::size_t>(40 - offset), 'b');
    SCOPED_TRACE(offset);
    EXPECT_EQ(parse("\"" + head + "\"").as_string(), head);
    EXPECT_EQ(parse("\"" + head + "\\n" + tail + "\"").as_string(), head + "\n" + tail);
    EXPECT_EQ(parse("\"" + head + "\\\\" + tail + "\\u00e9\"").as_string(), head + "\\" + tail + "\xc3\xa9");
    EXPECT_EQ(error_of("\"" + head + "\x1f" + tail + "\""),
              "control character (\\u0000-\\u001F) found while parsing a string at line 1 column " +
                  std::to_string(offset + 2));
    EXPECT_EQ(error_of("\"" + head + "\\n" + tail), "EOF while parsing a string at line 1 column 43");
  }
}

// ---------------------------------------------------------------------------
// Objects: sorted by key bytes once, later duplicates win.

TEST(ReaderObject, SortedByKeyBytesWithLaterDuplicatesWinning) {
  Value v = parse(R"({"a":1,"a":2})");
  ASSERT_EQ(v.as_object().size(), 1u);
  EXPECT_EQ(v.find("a")->as_uint(), 2u);
  EXPECT_EQ(rewrite(R"({"b":1,"a":2,"b":3,"a":4})"), R"({"a":4,"b":3})");
  EXPECT_EQ(rewrite(R"({"\u00e9":1,"z":2,"":3,"ab":4,"a":5,"B":6,"\u0000":7})"),
            "{\"\":3,\"\\u0000\":7,\"B\":6,\"a\":5,\"ab\":4,\"z\":2,\"\xc3\xa9\":1}");
  EXPECT_EQ(rewrite(R"({"b": {"d": 1, "c": 2}, "a": [{"y": 1, "x": 2}, {}], "c": []})"),
            R"({"a":[{"x":2,"y":1},{}],"b":{"c":2,"d":1},"c":[]})");

  // Small and large objects, shuffled, with duplicates: the same as the
  // value model's own object builder.
  std::mt19937 rng(53);
  for (int n : {2, 5, 24, 25, 40, 300}) {
    std::string text = "{";
    Members members;
    for (int i = 0; i < n; ++i) {
      std::string key = "key" + std::to_string(rng() % static_cast<unsigned>(n)) + std::string(rng() % 20, 'x');
      text += (i ? ", \"" : "\"") + key + "\": " + std::to_string(i);
      members.push_back({key, Value::uint(static_cast<std::uint64_t>(i))});
    }
    text += "}";
    EXPECT_EQ(parse(text), Value::object(std::move(members))) << n;
  }
  // Keys equal for eight or sixteen bytes and then ending, or going on with
  // a NUL or a high byte: the order must stay that of the bytes.
  for (int n : {6, 30, 200}) {
    std::string text = "{";
    Members members;
    for (int i = 0; i < n; ++i) {
      std::string key(8 * (1 + rng() % 2), 'k'), escaped = key;
      for (unsigned extra = rng() % 3; extra > 0; --extra) {
        const bool nul = rng() % 2 == 0;
        key += nul ? std::string(1, '\0') : std::string("\xc3\xbf");
        escaped += nul ? "\\u0000" : "\\u00ff";
      }
      text += (i ? ",\"" : "\"") + escaped + "\":" + std::to_string(i);
      members.push_back({key, Value::uint(static_cast<std::uint64_t>(i))});
    }
    text += "}";
    EXPECT_EQ(parse(text), Value::object(std::move(members))) << n;
  }
}

// ---------------------------------------------------------------------------
// Values and round trips.

TEST(Reader, ScalarsContainersWhitespaceAndFailedReads) {
  EXPECT_EQ(rewrite(" \t\r\n[ 1 , \"a\" , { \"k\" : null } , true , false ] \n"), R"([1,"a",{"k":null},true,false])");
  EXPECT_EQ(parse("null"), Value());
  EXPECT_EQ(parse("true"), Value::boolean(true));
  EXPECT_EQ(parse("[]"), Value::array({}));
  EXPECT_EQ(parse("{}"), Value::object({}));
  EXPECT_EQ(rewrite(R"({"b": [], "a": {}})"), R"({"a":{},"b":[]})");
  EXPECT_EQ(rewrite(R"({"k": "a\u0000b"})"), R"({"k":"a\u0000b"})");
  // The pass through text made for Python objects: the json.dumps forms of a few values.
  EXPECT_EQ(rewrite(R"({"1": "x", "1": "y"})"), R"({"1":"y"})");
  EXPECT_EQ(rewrite(R"({"s": "\u00e9"})"), "{\"s\":\"\xc3\xa9\"}");
  EXPECT_EQ(rewrite(R"({"n": 1180591620717411303424})"), R"({"n":1.1805916207174113e+21})");
  // A failed read leaves the caller's error set and no partial success.
  Value v;
  ReadError error;
  EXPECT_FALSE(vorda::json::read(std::string_view(), v, error));
  EXPECT_EQ(error.describe(), "EOF while parsing a value at line 1 column 0");
  EXPECT_FALSE(vorda::json::read("[1, 2, {\"a\": [", v, error));
  EXPECT_EQ(error.describe(), "EOF while parsing a list at line 1 column 14");
}

TEST(Reader, WriteThenReadGivesTheSameValueAndText) {
  const char* texts[] = {
      R"({"z": [1, -2, 3.5, -0.0, 1e300, 5e-324, "s\u00e9\n", null, true, false], "a": {"y": {}, "x": []}})",
      R"([18446744073709551615, -9223372036854775808, 0.000015, 1e16, 123456789.125, "\\\"\/\u001f"])",
  };
  for (const char* text : texts) {
    Value first = parse(text);
    std::string written = vorda::json::write(first);
    Value second = parse(written);
    EXPECT_EQ(second, first) << text;
    EXPECT_EQ(vorda::json::write(second), written);
  }
}

}  // namespace

// A large text's values share arena chunks; each value must still live on
// its own: parts moved out outlive the document, and a read array can grow.
TEST(Reader, PartsOfALargeDocumentOutliveItAndGrow) {
  std::string text = "[";
  for (int i = 0; i < 2000; ++i) {
    if (i) text += ',';
    text += "{\"name\":\"a string longer than fourteen bytes " + std::to_string(i) + "\",\"list\":[" +
            std::to_string(i) + ",\"x\"]}";
  }
  text += "]";
  Value item, copy;
  {
    Value document = parse(text);
    item = std::move(document.as_array()[1234]);
    copy = document.as_array()[1999];
  }
  EXPECT_EQ(vorda::json::write(item), "{\"list\":[1234,\"x\"],\"name\":\"a string longer than fourteen bytes 1234\"}");
  EXPECT_EQ(vorda::json::write(copy), "{\"list\":[1999,\"x\"],\"name\":\"a string longer than fourteen bytes 1999\"}");
  Value grown = parse(text);
  for (int i = 0; i < 100; ++i) grown.as_array().push_back(Value::string("pushed onto an array that was read"));
  EXPECT_EQ(grown.as_array().size(), 2100u);
  EXPECT_EQ(vorda::json::write(grown.as_array()[7]),
            "{\"list\":[7,\"x\"],\"name\":\"a string longer than fourteen bytes 7\"}");
}
