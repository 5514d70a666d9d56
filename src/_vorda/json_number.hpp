// Integer arithmetic the reader's and the writer's number kernels share.
#pragma once

#include <cstdint>

namespace vorda::json {

// 10^i for i = 0 .. 19, every power of ten that fits 64 bits.
inline constexpr std::uint64_t kPow10U64[] = {1ULL,
                                              10ULL,
                                              100ULL,
                                              1000ULL,
                                              10000ULL,
                                              100000ULL,
                                              1000000ULL,
                                              10000000ULL,
                                              100000000ULL,
                                              1000000000ULL,
                                              10000000000ULL,
                                              100000000000ULL,
                                              1000000000000ULL,
                                              10000000000000ULL,
                                              100000000000000ULL,
                                              1000000000000000ULL,
                                              10000000000000000ULL,
                                              100000000000000000ULL,
                                              1000000000000000000ULL,
                                              10000000000000000000ULL};

__extension__ typedef unsigned __int128 Wide;

// The full 128-bit product of two 64-bit numbers.
inline Wide wide_multiply(std::uint64_t a, std::uint64_t b) { return static_cast<Wide>(a) * b; }

// The same product as its two halves.
struct Product {
  std::uint64_t high, low;
};

inline Product multiply(std::uint64_t a, std::uint64_t b) {
  const Wide p = wide_multiply(a, b);
  return {static_cast<std::uint64_t>(p >> 64), static_cast<std::uint64_t>(p)};
}

}  // namespace vorda::json
