#include <array>
#include <charconv>
#include <cmath>
#include <cstring>

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

void write_string(std::string_view s, std::string& out) {
  out.push_back('"');
  const char* p = s.data();
  const char* end = p + s.size();
  const char* run = p;
  for (; p != end; ++p) {
    char e = kEscape[static_cast<unsigned char>(*p)];
    if (e == 0) continue;
    out.append(run, p);
    if (e == 'u') {
      static constexpr char hex[] = "0123456789abcdef";
      unsigned char c = static_cast<unsigned char>(*p);
      const char esc[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 15]};
      out.append(esc, 6);
    } else {
      const char esc[2] = {'\\', e};
      out.append(esc, 2);
    }
    run = p + 1;
  }
  out.append(run, end);
  out.push_back('"');
}

template <class Int>
void write_integer(Int n, std::string& out) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, n);
  out.append(buf, res.ptr);
}

void write_value(const Value& v, std::string& out) {
  switch (v.kind()) {
    case Kind::Null:
      out.append("null", 4);
      return;
    case Kind::Bool:
      if (v.as_bool()) {
        out.append("true", 4);
      } else {
        out.append("false", 5);
      }
      return;
    case Kind::UInt:
      write_integer(v.as_uint(), out);
      return;
    case Kind::Int:
      write_integer(v.as_int(), out);
      return;
    case Kind::Float:
      write_float(v.as_float(), out);
      return;
    case Kind::String:
      write_string(v.as_string(), out);
      return;
    case Kind::Array: {
      out.push_back('[');
      bool first = true;
      for (const Value& item : v.as_array()) {
        if (!first) out.push_back(',');
        first = false;
        write_value(item, out);
      }
      out.push_back(']');
      return;
    }
    case Kind::Object: {
      out.push_back('{');
      bool first = true;
      for (const Entry& m : v.as_object()) {
        if (!first) out.push_back(',');
        first = false;
        write_string(m.key, out);
        out.push_back(':');
        write_value(m.value, out);
      }
      out.push_back('}');
      return;
    }
  }
}

}  // namespace

void write_float(double d, std::string& out) {
  if (!std::isfinite(d)) {
    out.append("null", 4);
    return;
  }
  if (d == 0) {
    if (std::signbit(d)) {
      out.append("-0.0", 4);
    } else {
      out.append("0.0", 3);
    }
    return;
  }
  // Shortest round-trip digits in scientific form: "d[.ddd]e[+-]x".
  char sci[32];
  auto res = std::to_chars(sci, sci + sizeof sci, d, std::chars_format::scientific);
  const char* p = sci;
  if (*p == '-') {
    out.push_back('-');
    ++p;
  }
  char digits[20];
  int n = 0;
  for (; *p != 'e'; ++p) {
    if (*p != '.') digits[n++] = *p;
  }
  ++p;  // 'e'
  bool neg_exp = *p == '-';
  ++p;  // sign
  int e = 0;
  std::from_chars(p, res.ptr, e);
  if (neg_exp) e = -e;

  if (e >= -5 && e <= 15) {
    if (n - 1 <= e) {
      out.append(digits, n);
      out.append(static_cast<std::size_t>(e + 1 - n), '0');
      out.append(".0", 2);
    } else if (e >= 0) {
      out.append(digits, e + 1);
      out.push_back('.');
      out.append(digits + e + 1, n - e - 1);
    } else {
      out.append("0.", 2);
      out.append(static_cast<std::size_t>(-e - 1), '0');
      out.append(digits, n);
    }
    return;
  }
  out.push_back(digits[0]);
  if (n > 1) {
    out.push_back('.');
    out.append(digits + 1, n - 1);
  }
  out.push_back('e');
  out.push_back(e < 0 ? '-' : '+');
  write_integer(e < 0 ? -e : e, out);
}

void write(const Value& value, std::string& out) { write_value(value, out); }

std::string write(const Value& value) {
  std::string out;
  write_value(value, out);
  return out;
}

}  // namespace vorda::json
