// Fuzz target: the reader over arbitrary bytes. A text that reads writes a
// text that reads to an equal value and is written the same again; a text
// that is refused gets one of the reader's messages at a byte of the text. A
// text that is one number read as a float gives the correctly rounded double
// (as std::from_chars finds it), and every float is written in the layout.
#include <bit>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>

#include "json.hpp"
#include "json_checks.hpp"

namespace {

using vorda::json::Kind;
using vorda::json::Value;

void check_floats(const Value& v) {
  switch (v.kind()) {
    case Kind::Float: {
      std::string written;
      vorda::json::write_float(v.as_float(), written);
      vorda::fuzz::require(written == vorda::fuzz::expected_float_text(v.as_float()), "float layout or digits",
                           written);
      return;
    }
    case Kind::Array:
      for (const Value& item : v.as_array()) check_floats(item);
      return;
    case Kind::Object:
      for (const auto& member : v.as_object()) check_floats(member.value);
      return;
    default:
      return;
  }
}

// For a text that is a single number literal (whitespace around it aside).
void check_number(std::string_view text, const Value& v) {
  if (v.kind() != Kind::Float) return;
  const auto first = text.find_first_not_of(" \t\n\r");
  const auto last = text.find_last_not_of(" \t\n\r");
  const std::string_view literal = text.substr(first, last + 1 - first);
  if (literal[0] != '-' && (literal[0] < '0' || literal[0] > '9')) return;
  double expected = 0;
  const auto res = std::from_chars(literal.data(), literal.data() + literal.size(), expected);
  // Out of range here is an underflow (overflow is refused); its sign is the literal's.
  if (res.ec == std::errc::result_out_of_range) expected = literal[0] == '-' ? -0.0 : 0.0;
  vorda::fuzz::require(res.ptr == literal.data() + literal.size(), "from_chars stopped inside a number", literal);
  vorda::fuzz::require(std::bit_cast<std::uint64_t>(v.as_float()) == std::bit_cast<std::uint64_t>(expected),
                       "number not correctly rounded", literal);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  vorda::json::Value value;
  vorda::json::ReadError error;
  if (!vorda::json::read(text, value, error)) {
    vorda::fuzz::check_error(text, error);
    return 0;
  }
  vorda::fuzz::check_round_trip(value);
  check_floats(value);
  check_number(text, value);

  // Anything but whitespace after a whole value is refused at that byte.
  std::string extended(text);
  extended += 'x';
  vorda::json::Value ignored;
  vorda::fuzz::require(!vorda::json::read(extended, ignored, error), "a value followed by x reads");
  const std::size_t at = vorda::fuzz::check_error(extended, error);
  vorda::fuzz::require(std::string_view(error.message) == "trailing characters" && at == text.size(),
                       "a value followed by x is not refused at the x", error.describe());
  return 0;
}
