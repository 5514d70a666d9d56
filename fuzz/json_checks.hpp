// Invariants of the JSON reader and writer, checked by the fuzz targets.
// A broken invariant prints what broke and aborts, which the fuzzer (or the
// replay driver) reports as a crash with the input that caused it.
#pragma once

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "json.hpp"

namespace vorda::fuzz {

[[noreturn]] inline void broken(const char* what, std::string_view detail = {}) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  if (!detail.empty())
    std::fprintf(stderr, "  %.*s\n", static_cast<int>(detail.size() < 2000 ? detail.size() : 2000), detail.data());
  std::abort();
}

inline void require(bool ok, const char* what, std::string_view detail = {}) {
  if (!ok) broken(what, detail);
}

// The reader's messages, written out here independently of the reader.
inline constexpr const char* kMessages[] = {
    "EOF while parsing a list",
    "EOF while parsing an object",
    "EOF while parsing a string",
    "EOF while parsing a value",
    "expected `:`",
    "expected `,` or `]`",
    "expected `,` or `}`",
    "expected ident",
    "expected value",
    "invalid escape",
    "invalid number",
    "number out of range",
    "control character (\\u0000-\\u001F) found while parsing a string",
    "key must be a string",
    "lone leading surrogate in hex escape",
    "unexpected end of hex escape",
    "trailing comma",
    "trailing characters",
    "recursion limit exceeded",
};
static_assert(sizeof kMessages / sizeof kMessages[0] == 19);

inline bool known_message(const char* message) {
  for (const char* m : kMessages) {
    if (std::strcmp(m, message) == 0) return true;
  }
  return false;
}

// A refused text: the message is one of the table's and the position names
// a byte of the text (EOF errors the last one; an empty text line 1 column 0),
// on which the message can stand. Returns the byte's offset (0 for an empty
// text).
inline std::size_t check_error(std::string_view text, const json::ReadError& error) {
  if (error.message == nullptr) broken("refused without a message");
  require(known_message(error.message), "unknown error message", error.message);
  const std::string described = error.describe();
  require(described == std::string(error.message) + " at line " + std::to_string(error.line) + " column " +
                           std::to_string(error.column),
          "error text form", described);
  require(error.line >= 1, "error line is 0", described);
  if (text.empty()) {
    require(error.line == 1 && error.column == 0, "empty text not at line 1 column 0", described);
    return 0;
  }
  // The offset of the first byte of the error's line.
  std::size_t line_start = 0;
  for (std::size_t line = 1; line < error.line; ++line) {
    std::size_t feed = text.find('\n', line_start);
    require(feed != std::string_view::npos, "error line past the text", described);
    line_start = feed + 1;
  }
  require(error.column >= 1, "error column 0 in a non-empty text", described);
  const std::size_t at = line_start + error.column - 1;
  require(at < text.size(), "error position past the end", described);
  require(text.substr(line_start, at - line_start).find('\n') == std::string_view::npos, "error column past its line",
          described);

  const std::string_view message = error.message;
  const unsigned char byte = static_cast<unsigned char>(text[at]);
  if (message.substr(0, 3) == "EOF") {
    require(at == text.size() - 1, "EOF error not at the last byte", described);
  } else if (message == "trailing characters") {
    require(byte != ' ' && byte != '\t' && byte != '\n' && byte != '\r', "trailing whitespace refused", described);
  } else if (message == "recursion limit exceeded") {
    require(byte == '[' || byte == '{', "recursion limit not at a bracket", described);
  } else if (message == "trailing comma") {
    require(byte == ']' || byte == '}', "trailing comma not at a closing bracket", described);
  } else if (message == "control character (\\u0000-\\u001F) found while parsing a string") {
    require(byte < 0x20, "control character error at another byte", described);
  } else if (message == "key must be a string") {
    require(byte != '"', "key error at a quotation mark", described);
  } else if (message == "expected `:`") {
    require(byte != ':', "colon error at a colon", described);
  } else if (message == "number out of range") {
    require(byte >= '0' && byte <= '9', "range error not at a digit", described);
  }
  return at;
}

// A value read from (or written as) a text: its text reads back to an equal
// value, which writes the same text again.
inline void check_round_trip(const json::Value& value) {
  const std::string written = json::write(value);
  json::Value again;
  json::ReadError error;
  if (!json::read(written, again, error)) broken("written text does not read", error.describe() + ": " + written);
  require(again == value, "written text reads to another value", written);
  require(json::write(again) == written, "written text is not written the same again", written);
  json::Value copy = again;
  require(copy == value, "a copy differs", written);
}

// How the writer must write a string: only the quotation mark, the backslash
// and the bytes 0x00 to 0x1F are escaped, the short forms where they exist.
inline std::string expected_string_text(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    const auto b = static_cast<unsigned char>(c);
    switch (b) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        if (b < 0x20) {
          char esc[8];
          std::snprintf(esc, sizeof esc, "\\u%04x", b);
          out += esc;
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

// How the writer must write a finite float, made independently of it: the
// shortest round-trip digits from std::to_chars, laid out positionally for
// decimal exponents -5 to 15 and as d.ddde[+-]x otherwise.
inline std::string expected_float_text(double d) {
  if (d == 0) return std::signbit(d) ? "-0.0" : "0.0";
  char sci[32];
  const auto res = std::to_chars(sci, sci + sizeof sci, d, std::chars_format::scientific);
  const std::string_view text(sci, static_cast<std::size_t>(res.ptr - sci));
  const std::size_t e_at = text.find('e');
  std::string out = d < 0 ? "-" : "";
  std::string digits;
  for (char c : text.substr(0, e_at)) {
    if (c >= '0' && c <= '9') digits += c;
  }
  const int e = std::stoi(std::string(text.substr(e_at + 1)));
  const int n = static_cast<int>(digits.size());
  if (e >= -5 && e <= 15) {
    if (n - 1 <= e) return out + digits + std::string(static_cast<std::size_t>(e + 1 - n), '0') + ".0";
    if (e >= 0) return out + digits.substr(0, static_cast<std::size_t>(e) + 1) + "." + digits.substr(e + 1);
    return out + "0." + std::string(static_cast<std::size_t>(-e - 1), '0') + digits;
  }
  out += digits[0];
  if (n > 1) out += "." + digits.substr(1);
  return out + (e < 0 ? "e-" : "e+") + std::to_string(e < 0 ? -e : e);
}

}  // namespace vorda::fuzz
