// Float64 sort by the AVX-512 int64 network on totalOrder keys. Built for
// AVX-512 F, VL, DQ and BW (or on their emulation); see _netsort_avx512.h.

// First: in the emulated build it renames the entries _netsort.h declares.
// clang-format off
#include "_netsort_avx512.h"
// clang-format on

#include <cstdint>

#include "_netsort.h"

namespace {

// Inverts the low 63 bits of the lanes whose sign bit is set: the scalar
// b ^ ((b >> 63) >>> 1), and its own inverse.
NETSORT_ALWAYS_INLINE Vec key_vector(Vec v) {
  return _mm512_mask_xor_epi64(v, _mm512_movepi64_mask(v), v,
                               _mm512_set1_epi64(INT64_MAX));
}

// Whole registers, then the last n % 8 slots through a mask.
void key_all(int64_t* x, int64_t n) {
  const int64_t m = n - n % 8;
  for (int64_t i = 0; i < m; i += 8) {
    _mm512_storeu_si512(x + i, key_vector(_mm512_loadu_si512(x + i)));
  }
  if (m < n) {
    const Mask k = static_cast<Mask>(0xFFu >> (8 - (n - m)));
    store_lanes(x + m, k,
                key_vector(load_lanes(_mm512_setzero_si512(), x + m, k)));
  }
}

}  // namespace

void netsort_float64_avx512(double* x, int64_t n) {
  if (n <= 1) return;  // also leaves a lone NaN's payload alone
  int64_t* keys = reinterpret_cast<int64_t*>(x);
  key_all(keys, n);
  netsort_int64_avx512(keys, n);
  key_all(keys, n);
}
