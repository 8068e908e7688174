// What the two AVX-512 sort files share: the intrinsics, real or emulated,
// and masked loads and stores. Include it from those files only: they alone
// are built with -mavx512f/vl/dq/bw, and everything here has internal
// linkage, so no AVX-512 copy of a helper can reach baseline code.
//
// With VELDRA_NETSORT_EMULATE_AVX512 the same code is built for baseline
// x86-64 on SIMDe, a portable emulation of the intrinsics, and the entries
// are named netsort_*_avx512_emulated. Tests use that build to run every
// branch, shuffle and mask on processors without AVX-512.
#ifndef VELDRA_NETSORT_AVX512_H_
#define VELDRA_NETSORT_AVX512_H_

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

#define NETSORT_ALWAYS_INLINE inline __attribute__((always_inline))

namespace {

using Vec = __m512i;
using Mask = uint8_t;  // __mmask8, which the emulation spells otherwise

// Lanes of k from p[0..8), lanes of `fill` elsewhere. Lanes outside k are
// not accessed, so p may point anywhere when k is empty.
NETSORT_ALWAYS_INLINE Vec load_lanes(Vec fill, const int64_t* p, Mask k) {
#ifdef VELDRA_NETSORT_EMULATE_AVX512
  // SIMDe's masked load may read every lane; this reads only those of k,
  // so that AddressSanitizer checks what the instruction would touch.
  alignas(64) int64_t lanes[8];
  _mm512_store_si512(lanes, fill);
  for (int l = 0; l < 8; ++l) {
    if ((k >> l) & 1) lanes[l] = p[l];
  }
  return _mm512_load_si512(lanes);
#else
  return _mm512_mask_loadu_epi64(fill, k, p);
#endif
}

// Writes the lanes of k to p[0..8) and touches nothing else.
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

}  // namespace

#endif  // VELDRA_NETSORT_AVX512_H_
