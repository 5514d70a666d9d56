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

// Copies n bytes, sizeof(Word) <= n <= 2 * sizeof(Word), as two words that
// may overlap.
template <class Word>
inline void copy_two_words(char* to, const char* from, std::size_t n) noexcept {
  Word a, b;
  std::memcpy(&a, from, sizeof(Word));
  std::memcpy(&b, from + n - sizeof(Word), sizeof(Word));
  std::memcpy(to, &a, sizeof(Word));
  std::memcpy(to + n - sizeof(Word), &b, sizeof(Word));
}

// Copies n bytes; short runs (keys, mostly) without a call to memcpy.
inline void copy_bytes(char* to, const char* from, std::size_t n) noexcept {
  if (n > 16) {
    std::memcpy(to, from, n);
  } else if (n >= 8) {
    copy_two_words<std::uint64_t>(to, from, n);
  } else if (n >= 4) {
    copy_two_words<std::uint32_t>(to, from, n);
  } else if (n != 0) {
    to[0] = from[0];
    to[n / 2] = from[n / 2];
    to[n - 1] = from[n - 1];
  }
}

}  // namespace vorda::json
