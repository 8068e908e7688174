// AVX2 form of the int64 sorting network. It performs a different sequence of
// compare-exchanges from the portable form but, being a complete sort of the
// same keys, leaves the same bits in every slot.
//
// This file is the only one besides its float wrapper built with -mavx2. Every
// helper therefore has internal linkage, and nothing here instantiates an
// inline function or template that baseline code could also instantiate: the
// linker must never be able to pick an AVX2 copy for a baseline caller.
#include <immintrin.h>

#include <cstdint>

#include "_netsort.h"

#define NETSORT_ALWAYS_INLINE inline __attribute__((always_inline))

namespace {

constexpr int64_t kLargest = INT64_MAX;  // Padding: never below a real key.

// ---------------------------------------------------------------------------
// Compare-exchange, vector and scalar: smaller to *a, larger to *b.

// Lanes of b where the byte mask has its top bit set, else lanes of a: what
// _mm256_blendv_epi8 computes. GCC 12 rewrites that intrinsic as a byte
// compare of the mask against zero plus the blend, an extra instruction on
// every compare-exchange; the mask here is already all-ones or zero.
NETSORT_ALWAYS_INLINE __m256i blend_bytes(__m256i a, __m256i b, __m256i mask) {
  __m256i out;
  asm("vpblendvb %3, %2, %1, %0" : "=x"(out) : "x"(a), "x"(b), "x"(mask));
  return out;
}

NETSORT_ALWAYS_INLINE void minmax(__m256i* a, __m256i* b) {
  // AVX2 has no 64-bit min/max: one greater-than, two byte blends.
  const __m256i a_greater = _mm256_cmpgt_epi64(*a, *b);
  const __m256i lo = blend_bytes(*a, *b, a_greater);
  const __m256i hi = blend_bytes(*b, *a, a_greater);
  *a = lo;
  *b = hi;
}

NETSORT_ALWAYS_INLINE void minmax(int64_t* a, int64_t* b) {
  const int64_t x = *a;
  const int64_t y = *b;
  const bool greater = x > y;  // feeds two conditional moves, no branch
  *a = greater ? y : x;
  *b = greater ? x : y;
}

// Compare-exchange of v[i] and v[j] in direction Up (smaller to i) or down.
template <bool Up, typename T>
NETSORT_ALWAYS_INLINE void minmax_dir(T* v, int i, int j) {
  if constexpr (Up) {
    minmax(&v[i], &v[j]);
  } else {
    minmax(&v[j], &v[i]);
  }
}

// ---------------------------------------------------------------------------
// Register helpers.

NETSORT_ALWAYS_INLINE __m256i load(const int64_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

NETSORT_ALWAYS_INLINE void store(int64_t* p, __m256i v) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
}

template <int R>
NETSORT_ALWAYS_INLINE void load_xor(const int64_t* x, int64_t mask,
                                    __m256i* v) {
  const __m256i m = _mm256_set1_epi64x(mask);
#pragma GCC unroll 16
  for (int i = 0; i < R; ++i) v[i] = _mm256_xor_si256(load(x + 4 * i), m);
}

template <int R>
NETSORT_ALWAYS_INLINE void store_xor(int64_t* x, int64_t mask,
                                     const __m256i* v) {
  const __m256i m = _mm256_set1_epi64x(mask);
#pragma GCC unroll 16
  for (int i = 0; i < R; ++i) store(x + 4 * i, _mm256_xor_si256(v[i], m));
}

// Keys x[first..first+4) as lanes 0..3, INT64_MAX in lanes at or past n.
// Reads only the window x[m-4..m), m = min(n, first + 4), which lies in
// x[0..n) because n >= 8 and first >= 8 wherever this is used.
NETSORT_ALWAYS_INLINE __m256i load_window(const int64_t* x, int64_t n,
                                          int64_t first) {
  const int64_t m = n < first + 4 ? n : first + 4;
  const int shift = static_cast<int>(first + 4 - m);  // lanes to move down
  const __m256i window = load(x + m - 4);
  // Only the low 3 bits of each index count; lanes that wrap become padding.
  const __m256i index = _mm256_add_epi32(
      _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7), _mm256_set1_epi32(2 * shift));
  const __m256i moved = _mm256_permutevar8x32_epi32(window, index);
  const __m256i real = _mm256_cmpgt_epi64(
      _mm256_set1_epi64x(n),
      _mm256_setr_epi64x(first, first + 1, first + 2, first + 3));
  return _mm256_blendv_epi8(_mm256_set1_epi64x(kLargest), moved, real);
}

// Inverse of load_window: lanes go back to the window they came from. Window
// slots in front of x[first] receive junk, which a later store of a lower
// register overwrites, so windows must be stored from the last one down.
NETSORT_ALWAYS_INLINE void store_window(int64_t* x, int64_t n, int64_t first,
                                        __m256i v) {
  const int64_t m = n < first + 4 ? n : first + 4;
  const int shift = static_cast<int>(first + 4 - m);
  const __m256i index = _mm256_sub_epi32(
      _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7), _mm256_set1_epi32(2 * shift));
  store(x + m - 4, _mm256_permutevar8x32_epi32(v, index));
}

// ---------------------------------------------------------------------------
// Networks held in registers. R vectors hold 4R keys, vector i holding keys
// 4i..4i+3 ("row-major") unless stated otherwise.

// Batcher's odd-even merge of the rows Lo..Lo+N, elements Gap apart.
template <int Lo, int N, int Gap>
NETSORT_ALWAYS_INLINE void rows_odd_even_merge(__m256i* v) {
  if constexpr (2 * Gap < N) {
    rows_odd_even_merge<Lo, N, 2 * Gap>(v);
    rows_odd_even_merge<Lo + Gap, N, 2 * Gap>(v);
#pragma GCC unroll 16
    for (int i = Lo + Gap; i + Gap < Lo + N; i += 2 * Gap) {
      minmax(&v[i], &v[i + Gap]);
    }
  } else {
    minmax(&v[Lo], &v[Lo + Gap]);
  }
}

// Batcher's odd-even merge sort of N whole vectors: sorts the four columns.
template <int Lo, int N>
NETSORT_ALWAYS_INLINE void rows_odd_even_sort(__m256i* v) {
  if constexpr (N > 1) {
    rows_odd_even_sort<Lo, N / 2>(v);
    rows_odd_even_sort<Lo + N / 2, N / 2>(v);
    rows_odd_even_merge<Lo, N, 1>(v);
  }
}

// Distances 2 and 1 of a bitonic merger on the 8 keys of a and b, which
// stay row-major.
NETSORT_ALWAYS_INLINE void merge_last_two_stages(__m256i* a, __m256i* b) {
  __m256i x = _mm256_permute2x128_si256(*a, *b, 0x20);  // a0 a1 b0 b1
  __m256i y = _mm256_permute2x128_si256(*a, *b, 0x31);  // a2 a3 b2 b3
  minmax(&x, &y);
  __m256i p = _mm256_unpacklo_epi64(x, y);  // a0 a2 b0 b2
  __m256i q = _mm256_unpackhi_epi64(x, y);  // a1 a3 b1 b3
  minmax(&p, &q);
  x = _mm256_unpacklo_epi64(p, q);  // a0 a1 b0 b1
  y = _mm256_unpackhi_epi64(p, q);  // a2 a3 b2 b3
  *a = _mm256_permute2x128_si256(x, y, 0x20);
  *b = _mm256_permute2x128_si256(x, y, 0x31);
}

// Bitonic merger of 4R row-major keys: distance h pairs i and i + h for
// every i with bit h clear, h = 2R down to 1; log2(4R) * R/2 vector
// compare-exchanges. Each half is finished before the other is started,
// which keeps fewer vectors live at once.
template <int R>
NETSORT_ALWAYS_INLINE void bitonic_merge(__m256i* v) {
#pragma GCC unroll 8
  for (int i = 0; i < R / 2; ++i) minmax(&v[i], &v[i + R / 2]);
  if constexpr (R > 2) {
    bitonic_merge<R / 2>(v);
    bitonic_merge<R / 2>(v + R / 2);
  } else {
    merge_last_two_stages(&v[0], &v[1]);
  }
}

// Full sort of 4R row-major keys, R = 4, 8 or 16: 19, 55 or 151 vector
// compare-exchanges.
template <int R>
NETSORT_ALWAYS_INLINE void full_sort(__m256i* v) {
  // Columns c = lane c of every vector, each sorted down the rows.
  rows_odd_even_sort<0, R>(v);

  // Merge column 0 with column 1 into the run s, column 2 with column 3 into
  // t, by bitonic mergers on (column 0, column 1 reversed) and likewise.
  // w[m] holds s[2m], s[2m+1], t[2m], t[2m+1].
  __m256i w[R];
#pragma GCC unroll 8
  for (int m = 0; m < R / 2; ++m) {
    w[m] = _mm256_unpacklo_epi64(v[2 * m], v[2 * m + 1]);
    w[R / 2 + m] = _mm256_unpackhi_epi64(v[R - 1 - 2 * m], v[R - 2 - 2 * m]);
  }
#pragma GCC unroll 8
  for (int m = 0; m < R / 2; ++m) minmax(&w[m], &w[R / 2 + m]);  // distance R
#pragma GCC unroll 8
  for (int d = R / 4; d >= 1; d /= 2) {  // distances R/2 .. 2
#pragma GCC unroll 16
    for (int m = 0; m < R; ++m) {
      if ((m & d) == 0) minmax(&w[m], &w[m + d]);
    }
  }
  // Distance 1; afterwards z[2g] = s[4g], s[4g+2], t[4g], t[4g+2] and
  // z[2g+1] = s[4g+1], s[4g+3], t[4g+1], t[4g+3].
  __m256i z[R];
#pragma GCC unroll 8
  for (int g = 0; g < R / 2; ++g) {
    z[2 * g] = _mm256_unpacklo_epi64(w[2 * g], w[2 * g + 1]);
    z[2 * g + 1] = _mm256_unpackhi_epi64(w[2 * g], w[2 * g + 1]);
    minmax(&z[2 * g], &z[2 * g + 1]);
  }

  // Merge s and t: row-major s followed by t reversed, then a bitonic merger.
#pragma GCC unroll 8
  for (int g = 0; g < R / 2; ++g) {
    const __m256i lo = _mm256_unpacklo_epi64(z[2 * g], z[2 * g + 1]);
    const __m256i hi = _mm256_unpackhi_epi64(z[2 * g], z[2 * g + 1]);
    v[g] = _mm256_permute2x128_si256(lo, hi, 0x20);
    v[R - 1 - g] =
        _mm256_permute4x64_epi64(_mm256_permute2x128_si256(lo, hi, 0x31), 0x1B);
  }
  bitonic_merge<R>(v);
}

// The keys x[0..n), 2R < n <= 4R, padded to 4R: the first R/2 vectors read
// directly, the others through windows.
template <int R>
NETSORT_ALWAYS_INLINE void load_padded(const int64_t* x, int64_t n,
                                       __m256i* v) {
#pragma GCC unroll 8
  for (int i = 0; i < R / 2; ++i) v[i] = load(x + 4 * i);
#pragma GCC unroll 8
  for (int i = R / 2; i < R; ++i) v[i] = load_window(x, n, 4 * i);
}

template <int R>
NETSORT_ALWAYS_INLINE void store_padded(int64_t* x, int64_t n,
                                        const __m256i* v) {
#pragma GCC unroll 8
  for (int i = R - 1; i >= R / 2; --i) store_window(x, n, 4 * i, v[i]);
#pragma GCC unroll 8
  for (int i = R / 2 - 1; i >= 0; --i) store(x + 4 * i, v[i]);
}

// ---------------------------------------------------------------------------
// Fixed networks.

void int64_sort_3through7(int64_t* x, int64_t n) {
  int64_t k0 = x[0], k1 = x[1], k2 = x[2];
  if (n == 3) {
    minmax(&k0, &k1);
    minmax(&k0, &k2);
    minmax(&k1, &k2);
    x[0] = k0;
    x[1] = k1;
    x[2] = k2;
    return;
  }
  int64_t k3 = x[3];
  minmax(&k0, &k1);
  minmax(&k2, &k3);
  minmax(&k0, &k2);
  minmax(&k1, &k3);
  minmax(&k1, &k2);
  if (n == 5) {
    int64_t k4 = x[4];
    minmax(&k0, &k4);
    minmax(&k2, &k4);
    minmax(&k1, &k2);
    minmax(&k3, &k4);
    x[4] = k4;
  } else if (n == 6) {
    int64_t k4 = x[4], k5 = x[5];
    minmax(&k4, &k5);
    minmax(&k0, &k4);
    minmax(&k2, &k4);
    minmax(&k1, &k5);
    minmax(&k3, &k5);
    minmax(&k1, &k2);
    minmax(&k3, &k4);
    x[4] = k4;
    x[5] = k5;
  } else if (n == 7) {
    int64_t k4 = x[4], k5 = x[5], k6 = x[6];
    minmax(&k4, &k5);
    minmax(&k4, &k6);
    minmax(&k5, &k6);
    minmax(&k0, &k4);
    minmax(&k2, &k6);
    minmax(&k2, &k4);
    minmax(&k1, &k5);
    minmax(&k3, &k5);
    minmax(&k5, &k6);
    minmax(&k1, &k2);
    minmax(&k3, &k4);
    x[4] = k4;
    x[5] = k5;
    x[6] = k6;
  }
  x[0] = k0;
  x[1] = k1;
  x[2] = k2;
  x[3] = k3;
}

void int64_sort_8through16(int64_t* x, int64_t n) {
  __m256i v[4];
  load_padded<4>(x, n, v);
  full_sort<4>(v);
  store_padded<4>(x, n, v);
}

void int64_sort_16through32(int64_t* x, int64_t n) {
  __m256i v[8];
  load_padded<8>(x, n, v);
  full_sort<8>(v);
  store_padded<8>(x, n, v);
}

void int64_sort_32through64(int64_t* x, int64_t n) {
  __m256i v[16];
  load_padded<16>(x, n, v);
  full_sort<16>(v);
  store_padded<16>(x, n, v);
}

void int64_sort_32_xor(int64_t* x, int64_t mask) {
  __m256i v[8];
  load_xor<8>(x, mask, v);
  full_sort<8>(v);
  store_xor<8>(x, mask, v);
}

void int64_sort_64_xor(int64_t* x, int64_t mask) {
  __m256i v[16];
  load_xor<16>(x, mask, v);
  full_sort<16>(v);
  store_xor<16>(x, mask, v);
}

void int64_V_sort_16_xor(int64_t* x, int64_t mask) {
  __m256i v[4];
  load_xor<4>(x, mask, v);
  bitonic_merge<4>(v);
  store_xor<4>(x, mask, v);
}

void int64_V_sort_32_xor(int64_t* x, int64_t mask) {
  __m256i v[8];
  load_xor<8>(x, mask, v);
  bitonic_merge<8>(v);
  store_xor<8>(x, mask, v);
}

void int64_V_sort_64_xor(int64_t* x, int64_t mask) {
  __m256i v[16];
  load_xor<16>(x, mask, v);
  bitonic_merge<16>(v);
  store_xor<16>(x, mask, v);
}

// A V-shaped sequence followed by the largest key is still V-shaped.
void int64_V_sort_8through16(int64_t* x, int64_t n) {
  __m256i v[4];
  load_padded<4>(x, n, v);
  bitonic_merge<4>(v);
  store_padded<4>(x, n, v);
}

void int64_V_sort_16through32(int64_t* x, int64_t n) {
  __m256i v[8];
  load_padded<8>(x, n, v);
  bitonic_merge<8>(v);
  store_padded<8>(x, n, v);
}

void int64_V_sort_32through64(int64_t* x, int64_t n) {
  __m256i v[16];
  load_padded<16>(x, n, v);
  bitonic_merge<16>(v);
  store_padded<16>(x, n, v);
}

// ---------------------------------------------------------------------------
// Three-stage networks: the first three stages of a bitonic merger across
// Rows rows (4 to 8) that are `stride` apart, on columns 0..count-1. Rows
// from Rows to 7 are absent, and so are their compare-exchanges.

template <int Rows, bool Up, typename T>
NETSORT_ALWAYS_INLINE void three_stages(T* v) {
#pragma GCC unroll 4
  for (int i = 0; i + 4 < Rows; ++i) minmax_dir<Up>(v, i, i + 4);
#pragma GCC unroll 8
  for (int i = 0; i + 2 < Rows; ++i) {
    if ((i & 2) == 0) minmax_dir<Up>(v, i, i + 2);
  }
#pragma GCC unroll 8
  for (int i = 0; i + 1 < Rows; i += 2) minmax_dir<Up>(v, i, i + 1);
}

template <int Rows, bool Up>
NETSORT_ALWAYS_INLINE void three_stages_vectors(int64_t* x, int64_t stride,
                                                int64_t groups) {
  for (int64_t j = 0; j < 4 * groups; j += 4) {
    __m256i v[Rows];
#pragma GCC unroll 8
    for (int i = 0; i < Rows; ++i) v[i] = load(x + j + i * stride);
    three_stages<Rows, Up>(v);
#pragma GCC unroll 8
    for (int i = 0; i < Rows; ++i) store(x + j + i * stride, v[i]);
  }
}

template <int Rows, bool Up>
NETSORT_ALWAYS_INLINE void three_stages_columns(int64_t* x, int64_t stride,
                                                int64_t count) {
  three_stages_vectors<Rows, Up>(x, stride, count / 4);
  for (int64_t j = count - count % 4; j < count; ++j) {
    int64_t k[Rows];
#pragma GCC unroll 8
    for (int i = 0; i < Rows; ++i) k[i] = x[j + i * stride];
    three_stages<Rows, Up>(k);
#pragma GCC unroll 8
    for (int i = 0; i < Rows; ++i) x[j + i * stride] = k[i];
  }
}

void int64_threestages_8_up(int64_t* x, int64_t stride, int64_t count) {
  three_stages_columns<8, true>(x, stride, count);
}

void int64_threestages_7_up(int64_t* x, int64_t stride, int64_t count) {
  three_stages_columns<7, true>(x, stride, count);
}

void int64_threestages_6_up(int64_t* x, int64_t stride, int64_t count) {
  three_stages_columns<6, true>(x, stride, count);
}

void int64_threestages_5_up(int64_t* x, int64_t stride, int64_t count) {
  three_stages_columns<5, true>(x, stride, count);
}

void int64_threestages_4_up(int64_t* x, int64_t stride, int64_t count) {
  three_stages_columns<4, true>(x, stride, count);
}

void int64_threestages_6_down(int64_t* x, int64_t stride, int64_t count) {
  three_stages_columns<6, false>(x, stride, count);
}

void int64_threestages_8_up_16(int64_t* x) {
  three_stages_vectors<8, true>(x, 16, 4);
}

void int64_threestages_8_down_16(int64_t* x) {
  three_stages_vectors<8, false>(x, 16, 4);
}

void int64_threestages_8_down_atleast32(int64_t* x, int64_t s) {
  three_stages_vectors<8, false>(x, s, s / 4);
}

// ---------------------------------------------------------------------------
// Bitonic sort and mergers of any size.

void int64_V_sort_2poweratleast16_xor(int64_t* x, int64_t n, int64_t mask) {
  if (n == 16) {
    int64_V_sort_16_xor(x, mask);
  } else if (n == 32) {
    int64_V_sort_32_xor(x, mask);
  } else if (n == 64) {
    int64_V_sort_64_xor(x, mask);
  } else if (n == 128) {
    if (mask == 0) {
      int64_threestages_8_up_16(x);
    } else {
      int64_threestages_8_down_16(x);
    }
    for (int64_t k = 0; k < 8; ++k) int64_V_sort_16_xor(x + 16 * k, mask);
  } else {
    const int64_t s = n / 8;
    if (mask == 0) {
      int64_threestages_8_up(x, s, s);
    } else {
      int64_threestages_8_down_atleast32(x, s);
    }
    for (int64_t k = 0; k < 8; ++k) {
      int64_V_sort_2poweratleast16_xor(x + k * s, s, mask);
    }
  }
}

void int64_sort_2poweratleast32_xor(int64_t* x, int64_t n, int64_t mask) {
  if (n == 32) {
    int64_sort_32_xor(x, mask);
  } else if (n == 64) {
    int64_sort_64_xor(x, mask);
  } else {
    const int64_t h = n / 2;
    int64_sort_2poweratleast32_xor(x, h, ~mask);
    int64_sort_2poweratleast32_xor(x + h, h, mask);
    int64_V_sort_2poweratleast16_xor(x, n, mask);
  }
}

// Bitonic merger of width 8 on r keys (2 to 8), compare-exchanges that
// touch a position >= r left out.
void merge_short_row(int64_t* x, int64_t r) {
  if (r == 2) {
    minmax(&x[0], &x[1]);
    return;
  }
  if (r == 3) {
    minmax(&x[0], &x[2]);
    minmax(&x[0], &x[1]);
    return;
  }
  for (int64_t i = 0; i + 4 < r; ++i) minmax(&x[i], &x[i + 4]);
  minmax(&x[0], &x[2]);
  minmax(&x[1], &x[3]);
  minmax(&x[0], &x[1]);
  minmax(&x[2], &x[3]);
  if (r == 6) {
    minmax(&x[4], &x[5]);
  } else if (r == 7) {
    minmax(&x[4], &x[6]);
    minmax(&x[4], &x[5]);
  } else if (r == 8) {
    minmax(&x[4], &x[6]);
    minmax(&x[5], &x[7]);
    minmax(&x[4], &x[5]);
    minmax(&x[6], &x[7]);
  }
}

// Ascending bitonic merger of width 2q on n keys, q < n <= 2q; positions n
// to 2q - 1 count as the largest key, so their compare-exchanges are left
// out.
void int64_V_sort(int64_t* x, int64_t q, int64_t n) {
  for (;;) {
    if ((n & (n - 1)) == 0) {
      int64_V_sort_2poweratleast16_xor(x, n, 0);
      return;
    }
    if (n <= 16) {
      int64_V_sort_8through16(x, n);
      return;
    }
    if (n <= 32) {
      int64_V_sort_16through32(x, n);
      return;
    }
    if (n <= 64) {
      int64_V_sort_32through64(x, n);
      return;
    }
    // Eight rows of b keys; the first call covers the columns the last,
    // partial row reaches, the second the rest of the rows above it.
    const int64_t b = q / 4;
    if (7 * b < n) {
      int64_threestages_8_up(x, b, n - 7 * b);
      int64_threestages_7_up(x + n - 7 * b, b, 8 * b - n);
    } else if (6 * b < n) {
      int64_threestages_7_up(x, b, n - 6 * b);
      int64_threestages_6_up(x + n - 6 * b, b, 7 * b - n);
    } else if (5 * b < n) {
      int64_threestages_6_up(x, b, n - 5 * b);
      int64_threestages_5_up(x + n - 5 * b, b, 6 * b - n);
    } else {
      int64_threestages_5_up(x, b, n - 4 * b);
      int64_threestages_4_up(x + n - 4 * b, b, 5 * b - n);
    }
    int64_t start = 0;  // rows 0 to 3 are always full
    for (; n - start >= b; start += b) int64_V_sort(x + start, q / 8, b);
    const int64_t r = n - start;
    if (r <= 1) return;
    int64_t half = b;
    while (half >= r) half /= 2;
    if (half < 8) {
      merge_short_row(x + start, r);
      return;
    }
    x += start;
    q = half;
    n = r;
  }
}

}  // namespace

void netsort_int64_avx2(int64_t* x, int64_t n) {
  if (n <= 1) return;
  if (n == 2) {
    minmax(&x[0], &x[1]);
    return;
  }
  if (n <= 7) {
    int64_sort_3through7(x, n);
    return;
  }
  if (n <= 16) {
    int64_sort_8through16(x, n);
    return;
  }
  if ((n & (n - 1)) == 0) {
    int64_sort_2poweratleast32_xor(x, n, 0);
    return;
  }
  if (n <= 32) {
    int64_sort_16through32(x, n);
    return;
  }
  if (n <= 64) {
    int64_sort_32through64(x, n);
    return;
  }
  if ((81 <= n && n <= 95) || (97 <= n && n <= 127)) {
    // Sorting 96 or 128 keys is cheaper than the splits these sizes need.
    alignas(32) int64_t buffer[128];
    const int64_t padded = n < 96 ? 96 : 128;
    for (int64_t i = padded - (n < 96 ? 16 : 32); i < padded; ++i) {
      buffer[i] = kLargest;
    }
    for (int64_t i = 0; i < n; ++i) buffer[i] = x[i];
    netsort_int64_avx2(buffer, padded);
    for (int64_t i = 0; i < n; ++i) x[i] = buffer[i];
    return;
  }

  int64_t q = 64;
  if (n > 128) {
    while (n - q > q) q += q;
  }
  if (n >= 512 && n <= (14 * (q / 2)) >> 2) {
    // Three-quarter split: x[0..3q/4) is made descending by a merger on six
    // rows, then merged with the ascending rest.
    const int64_t e = q / 8;
    int64_sort_2poweratleast32_xor(x, q / 2, 0);
    int64_sort_2poweratleast32_xor(x + q / 2, e, 0);
    int64_sort_2poweratleast32_xor(x + q / 2 + e, e, -1);
    int64_V_sort_2poweratleast16_xor(x + q / 2, 2 * e, -1);
    int64_threestages_6_down(x, e, e);
    for (int64_t k = 0; k < 6; ++k) {
      int64_V_sort_2poweratleast16_xor(x + k * e, e, -1);
    }
    const int64_t t = (6 * (q / 2)) / 4;
    netsort_int64_avx2(x + t, n - t);
    int64_V_sort(x, q, n);
  } else if (n == 3 * (q / 2)) {
    // One-and-a-half split: q keys descending, q/2 ascending, then the
    // merger of width 2q on six full rows.
    const int64_t f = q / 4;
    int64_sort_2poweratleast32_xor(x, q, -1);
    int64_sort_2poweratleast32_xor(x + q, q / 2, 0);
    int64_threestages_6_up(x, f, f);
    for (int64_t k = 0; k < 6; ++k) {
      int64_V_sort_2poweratleast16_xor(x + k * f, f, 0);
    }
  } else {
    int64_sort_2poweratleast32_xor(x, q, -1);
    netsort_int64_avx2(x + q, n - q);
    int64_V_sort(x, q, n);
  }
}
