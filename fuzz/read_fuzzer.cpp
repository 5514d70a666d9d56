// Fuzz target: the reader over arbitrary bytes. A text that reads writes a
// text that reads to an equal value and is written the same again; a text
// that is refused gets one of the reader's messages at a byte of the text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "json.hpp"
#include "json_checks.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  vorda::json::Value value;
  vorda::json::ReadError error;
  if (!vorda::json::read(text, value, error)) {
    vorda::fuzz::check_error(text, error);
    return 0;
  }
  vorda::fuzz::check_round_trip(value);

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
