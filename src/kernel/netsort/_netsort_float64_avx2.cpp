// Float64 sort by the AVX2 int64 network on totalOrder keys. Built with
// -mavx2; see _netsort_int64_avx2.cpp for why nothing here has external
// linkage besides the entry point.
#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "_netsort.h"

namespace {

// Inverts the low 63 bits of negative patterns; its own inverse.
inline __attribute__((always_inline)) void key_one(double* slot) {
  uint64_t bits;
  std::memcpy(&bits, slot, sizeof(bits));
  bits ^= static_cast<uint64_t>(static_cast<int64_t>(bits) >> 63) >> 1;
  std::memcpy(slot, &bits, sizeof(bits));
}

// The same per lane without the 64-bit arithmetic shift AVX2 lacks:
// (sign bit) - (sign bit >> 63) is 0x7FF...F for negative patterns, else 0.
inline __attribute__((always_inline)) __m256i key_vector(__m256i v) {
  const __m256i sign = _mm256_and_si256(
      v, _mm256_set1_epi64x(static_cast<int64_t>(0x8000000000000000u)));
  const __m256i flip = _mm256_sub_epi64(sign, _mm256_srli_epi64(v, 63));
  return _mm256_xor_si256(v, flip);
}

// Slots below 8 * floor(n / 8) in blocks of two vectors, the rest singly.
void key_all(double* x, int64_t n) {
  const int64_t m = n - n % 8;
  for (int64_t i = 0; i < m; i += 8) {
    __m256i* p = reinterpret_cast<__m256i*>(x + i);
    _mm256_storeu_si256(p, key_vector(_mm256_loadu_si256(p)));
    _mm256_storeu_si256(p + 1, key_vector(_mm256_loadu_si256(p + 1)));
  }
  for (int64_t i = m; i < n; ++i) key_one(&x[i]);
}

}  // namespace

void netsort_float64_avx2(double* x, int64_t n) {
  int64_t* keys = reinterpret_cast<int64_t*>(x);
  if (n <= 0) {
    netsort_int64_avx2(keys, n);
    return;
  }
  key_all(x, n);  // n <= 7 takes only the scalar loop
  netsort_int64_avx2(keys, n);
  key_all(x, n);
}
