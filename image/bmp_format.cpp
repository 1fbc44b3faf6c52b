#include "image/bmp_format.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace bmp {
namespace {

void SwapRedAndBlueOneByOne(const uint8_t* in, uint8_t* out, int64_t pixels) {
  for (int64_t x = 0; x < pixels; ++x, in += 3, out += 3) {
    out[0] = in[2];
    out[1] = in[1];
    out[2] = in[0];
  }
}

#if defined(__x86_64__)
// Sixteen bytes at a time, five whole pixels and the first byte of a sixth, which the next
// step writes again; so a step is only taken while a sixth pixel follows.
[[gnu::target("ssse3")]] void SwapRedAndBlueSsse3(const uint8_t* in, uint8_t* out, int64_t pixels) {
  const __m128i order = _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 14, 13, 12, 15);
  int64_t x = 0;
  for (; x + 6 <= pixels; x += 5) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 3 * x));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * x), _mm_shuffle_epi8(bytes, order));
  }
  SwapRedAndBlueOneByOne(in + 3 * x, out + 3 * x, pixels - x);
}
#endif

using SwapFunction = void (*)(const uint8_t* in, uint8_t* out, int64_t pixels);

SwapFunction ChooseSwap() {
#if defined(__x86_64__)
  if (__builtin_cpu_supports("ssse3")) return SwapRedAndBlueSsse3;
#endif
  return SwapRedAndBlueOneByOne;
}

}  // namespace

void SwapRedAndBlue(const uint8_t* in, uint8_t* out, int64_t pixels) {
  static const SwapFunction swap = ChooseSwap();
  swap(in, out, pixels);
}

}  // namespace bmp
