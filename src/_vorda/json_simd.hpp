// SSE2 helpers shared by the JSON reader and writer.
#pragma once

#if defined(__SSE2__)
#include <emmintrin.h>

namespace vorda::json {

// One bit per byte of `x` that a string cannot hold as it is: a quotation
// mark, a backslash or a control byte (below 0x20).
inline int string_specials(__m128i x) {
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i control_max = _mm_set1_epi8(0x1F);
  const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, quote), _mm_cmpeq_epi8(x, backslash)),
                                   _mm_cmpeq_epi8(_mm_min_epu8(x, control_max), x));
  return _mm_movemask_epi8(hit);
}

}  // namespace vorda::json
#endif
