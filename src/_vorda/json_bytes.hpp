// Loading a few bytes of text as one number, shared by the value model and
// the reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vorda::json {

// The n bytes at p (n at most 8) as a little-endian number, reading no byte
// outside them: two overlapping loads instead of a byte loop, and no trip
// through memory (a partial store followed by a whole load would stall).
inline std::uint64_t load_upto8(const char* p, std::size_t n) noexcept {
  if (n >= 8) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
  }
  if (n >= 4) {
    std::uint32_t lo, hi;
    std::memcpy(&lo, p, 4);
    std::memcpy(&hi, p + n - 4, 4);
    return std::uint64_t{lo} | (std::uint64_t{hi} << (8 * (n - 4)));
  }
  if (n == 0) return 0;
  const auto b = [&](std::size_t i) { return std::uint64_t{static_cast<unsigned char>(p[i])}; };
  return b(0) | (b(n / 2) << (8 * (n / 2))) | (b(n - 1) << (8 * (n - 1)));
}

// Copies n bytes; short runs (keys, mostly) without a call to memcpy.
inline void copy_bytes(char* to, const char* from, std::size_t n) noexcept {
  if (n > 16) {
    std::memcpy(to, from, n);
  } else if (n >= 8) {
    std::uint64_t a, b;
    std::memcpy(&a, from, 8);
    std::memcpy(&b, from + n - 8, 8);
    std::memcpy(to, &a, 8);
    std::memcpy(to + n - 8, &b, 8);
  } else if (n >= 4) {
    std::uint32_t a, b;
    std::memcpy(&a, from, 4);
    std::memcpy(&b, from + n - 4, 4);
    std::memcpy(to, &a, 4);
    std::memcpy(to + n - 4, &b, 4);
  } else if (n != 0) {
    to[0] = from[0];
    to[n / 2] = from[n / 2];
    to[n - 1] = from[n - 1];
  }
}

}  // namespace vorda::json
