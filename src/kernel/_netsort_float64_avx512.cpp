// Float64 sort by the AVX-512 int64 network on totalOrder keys. Built like
// _netsort_int64_avx512.cpp (see there for the flags, the linkage rule and
// the emulated test build).

// GCC 12 takes the deliberately undefined source register inside the
// unmasked AVX-512 intrinsics for an uninitialised variable; the warning is
// off for the intrinsics headers alone.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#ifndef __clang__
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#ifdef VELDRA_NETSORT_EMULATE_AVX512
#define SIMDE_ENABLE_NATIVE_ALIASES
#include <simde/x86/avx512.h>
#define netsort_int64_avx512 netsort_int64_avx512_emulated
#define netsort_float64_avx512 netsort_float64_avx512_emulated
#else
#include <immintrin.h>
#endif
#pragma GCC diagnostic pop

#include <cstdint>

#include "_netsort.h"

#define NETSORT_ALWAYS_INLINE inline __attribute__((always_inline))

namespace {

using Vec = __m512i;
using Mask = uint8_t;  // __mmask8, which the emulation spells otherwise

// Lanes of k from p[0..8), the others undefined; only the lanes of k are
// accessed.
NETSORT_ALWAYS_INLINE Vec load_lanes(const int64_t* p, Mask k) {
#ifdef VELDRA_NETSORT_EMULATE_AVX512
  alignas(64) int64_t lanes[8] = {};
  for (int l = 0; l < 8; ++l) {
    if ((k >> l) & 1) lanes[l] = p[l];
  }
  return _mm512_load_si512(lanes);
#else
  return _mm512_maskz_loadu_epi64(k, p);
#endif
}

NETSORT_ALWAYS_INLINE void store_lanes(int64_t* p, Mask k, Vec v) {
#ifdef VELDRA_NETSORT_EMULATE_AVX512
  alignas(64) int64_t lanes[8];
  _mm512_store_si512(lanes, v);
  for (int l = 0; l < 8; ++l) {
    if ((k >> l) & 1) p[l] = lanes[l];
  }
#else
  _mm512_mask_storeu_epi64(p, k, v);
#endif
}

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
    store_lanes(x + m, k, key_vector(load_lanes(x + m, k)));
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
