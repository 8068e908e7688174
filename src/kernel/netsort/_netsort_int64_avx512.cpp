// AVX-512 form of the int64 sorting network. A register holds 8 keys and
// there are 32 registers, so any n up to 128 is sorted in registers, padded
// with INT64_MAX by masked loads, and every merge runs its last seven stages
// in registers. The sequence of compare-exchanges differs from the portable
// and AVX2 forms but, being a complete sort of the same keys, it leaves the
// same bits in every slot.
//
// Built for AVX-512 F, VL, DQ and BW (or on their emulation); see
// _netsort_avx512.h.

// First: in the emulated build it renames the entries _netsort.h declares.
// clang-format off
#include "_netsort_avx512.h"
// clang-format on

#include <cstdint>

#include "_netsort.h"

// The fixed networks are large and called from several places; out of line
// each also keeps a symbol of its own, which lets its instructions be counted.
#define NETSORT_NOINLINE __attribute__((noinline))

namespace {

constexpr int64_t kLargest = INT64_MAX;  // Padding: never below a real key.

// ---------------------------------------------------------------------------
// Loads and stores.

NETSORT_ALWAYS_INLINE Vec load(const int64_t* p) {
  return _mm512_loadu_si512(p);
}

NETSORT_ALWAYS_INLINE void store(int64_t* p, Vec v) {
  _mm512_storeu_si512(p, v);
}

// The lanes below count, which is clamped to 0..8.
NETSORT_ALWAYS_INLINE Mask first_lanes(int64_t count) {
  const int64_t c = count < 0 ? 0 : count > 8 ? 8 : count;
  return static_cast<Mask>(0xFFu >> (8 - c));
}

// The lanes below n of each of R registers that hold x[0..8R), R <= 16.
template <int R>
NETSORT_ALWAYS_INLINE void lanes_below(int64_t n, Mask* k) {
  // Bit i of word w stands for x[64w + i].
  uint64_t words[2];
#pragma GCC unroll 2
  for (int w = 0; w < 2; ++w) {
    const int64_t c = n - 64 * w;
    words[w] = c >= 64 ? ~uint64_t{0} : c <= 0 ? 0 : (uint64_t{1} << c) - 1;
  }
#pragma GCC unroll 16
  for (int i = 0; i < R; ++i) {
    k[i] = static_cast<Mask>(words[i / 8] >> (8 * (i % 8)));
  }
}

// Lanes of k from p[0..8), INT64_MAX elsewhere; only the lanes of k are
// accessed.
NETSORT_ALWAYS_INLINE Vec load_or_largest(const int64_t* p, Mask k) {
  return load_lanes(_mm512_set1_epi64(kLargest), p, k);
}

// ---------------------------------------------------------------------------
// Compare-exchange. Up sorts ascending; !Up runs the same network with
// minimum and maximum exchanged, which sorts descending.

template <bool Up>
NETSORT_ALWAYS_INLINE Vec lower(Vec a, Vec b) {
  if constexpr (Up) {
    return _mm512_min_epi64(a, b);
  } else {
    return _mm512_max_epi64(a, b);
  }
}

template <bool Up>
NETSORT_ALWAYS_INLINE Vec upper(Vec a, Vec b) {
  return lower<!Up>(a, b);
}

// lower(a, b) in the lanes of k, src in the others.
template <bool Up>
NETSORT_ALWAYS_INLINE Vec lower_in(Vec src, Mask k, Vec a, Vec b) {
  if constexpr (Up) {
    return _mm512_mask_min_epi64(src, k, a, b);
  } else {
    return _mm512_mask_max_epi64(src, k, a, b);
  }
}

template <bool Up>
NETSORT_ALWAYS_INLINE Vec upper_in(Vec src, Mask k, Vec a, Vec b) {
  return lower_in<!Up>(src, k, a, b);
}

// Lane by lane: the lower key to *a, the upper to *b.
template <bool Up>
NETSORT_ALWAYS_INLINE void minmax(Vec* a, Vec* b) {
  const Vec lo = lower<Up>(*a, *b);
  *b = upper<Up>(*a, *b);
  *a = lo;
}

// Lane i of the result is lane i ^ X of v.
template <int X>
NETSORT_ALWAYS_INLINE Vec lanes_xor(Vec v) {
  if constexpr (X == 1) {
    // Swaps the two halves of every 128-bit block; a one-cycle shuffle.
    const Vec swap = _mm512_setr_epi64(0x0F0E0D0C0B0A0908, 0x0706050403020100,
                                       0x0F0E0D0C0B0A0908, 0x0706050403020100,
                                       0x0F0E0D0C0B0A0908, 0x0706050403020100,
                                       0x0F0E0D0C0B0A0908, 0x0706050403020100);
    return _mm512_shuffle_epi8(v, swap);
  } else if constexpr (X == 2) {
    return _mm512_shuffle_i32x4(v, v, 0xB1);  // blocks 1, 0, 3, 2
  } else if constexpr (X == 4) {
    return _mm512_shuffle_i32x4(v, v, 0x4E);  // blocks 2, 3, 0, 1
  } else {
    const Vec index =
        _mm512_setr_epi64(X, X ^ 1, X ^ 2, X ^ 3, X ^ 4, X ^ 5, X ^ 6, X ^ 7);
    return _mm512_permutexvar_epi64(index, v);
  }
}

// Compare-exchange of lanes i and i ^ X of v; the lanes of k take the upper
// key of their pair. One vpminsq and one vpmaxsq.
template <bool Up, int X>
NETSORT_ALWAYS_INLINE Vec lane_stage(Vec v, Mask k) {
  const Vec p = lanes_xor<X>(v);
  return upper_in<Up>(lower<Up>(v, p), k, v, p);
}

// ---------------------------------------------------------------------------
// Networks on whole registers ("rows"); lane c of every row forms column c.

// Batcher's odd-even merge of the rows Lo..Lo+N, elements Gap apart.
template <bool Up, int Lo, int N, int Gap>
NETSORT_ALWAYS_INLINE void rows_odd_even_merge(Vec* v) {
  if constexpr (2 * Gap < N) {
    rows_odd_even_merge<Up, Lo, N, 2 * Gap>(v);
    rows_odd_even_merge<Up, Lo + Gap, N, 2 * Gap>(v);
#pragma GCC unroll 16
    for (int i = Lo + Gap; i + Gap < Lo + N; i += 2 * Gap) {
      minmax<Up>(&v[i], &v[i + Gap]);
    }
  } else {
    minmax<Up>(&v[Lo], &v[Lo + Gap]);
  }
}

// Batcher's odd-even merge sort of N rows: sorts every column. 1, 5, 19 or
// 63 compare-exchanges for N = 2, 4, 8, 16.
template <bool Up, int Lo, int N>
NETSORT_ALWAYS_INLINE void rows_odd_even_sort(Vec* v) {
  if constexpr (N > 1) {
    rows_odd_even_sort<Up, Lo, N / 2>(v);
    rows_odd_even_sort<Up, Lo + N / 2, N / 2>(v);
    rows_odd_even_merge<Up, Lo, N, 1>(v);
  }
}

// Bitonic merger of every column over N rows: rows N/2 .. 1 apart,
// log2(N) * N/2 compare-exchanges.
template <bool Up, int N>
NETSORT_ALWAYS_INLINE void rows_bitonic(Vec* v) {
  if constexpr (N > 1) {
#pragma GCC unroll 8
    for (int i = 0; i < N / 2; ++i) minmax<Up>(&v[i], &v[i + N / 2]);
    rows_bitonic<Up, N / 2>(v);
    rows_bitonic<Up, N / 2>(v + N / 2);
  }
}

// ---------------------------------------------------------------------------
// Stages within registers, two registers at a time: the keys of a and b are
// regrouped into lo and hi so that every pair of the stage sits in one lane
// of lo and of hi, and one compare-exchange of lo and hi does all 8 pairs.
// s such stages on 16 keys take 2s min/max and 2s + 2 shuffles, against 4s
// min/max and 2s shuffles lane by lane (lane_stage). The 64-bit min/max
// issue at most once per cycle, on the shuffle port or beside it, so they
// are the ones to save.

// Lane l of the result is lane I_l of a (I_l < 8) or lane I_l - 8 of b.
template <int... I>
NETSORT_ALWAYS_INLINE Vec pick(Vec a, Vec b) {
  static_assert(sizeof...(I) == 8, "one index per lane");
  alignas(64) static constexpr int64_t kIndex[8] = {I...};
  return _mm512_permutex2var_epi64(a, _mm512_load_si512(kIndex), b);
}

// Bitonic merger of the 8 keys of a and, beside it, of b: lanes 4, 2, 1
// apart. 3 vpminsq and 3 vpmaxsq.
template <bool Up>
NETSORT_ALWAYS_INLINE void merge_lanes(Vec* a, Vec* b) {
  Vec lo = _mm512_shuffle_i32x4(*a, *b, 0x44);  // a0 a1 a2 a3 b0 b1 b2 b3
  Vec hi = _mm512_shuffle_i32x4(*a, *b, 0xEE);  // a4 a5 a6 a7 b4 b5 b6 b7
  minmax<Up>(&lo, &hi);
  Vec lo2 = _mm512_shuffle_i32x4(lo, hi, 0x88);  // a0 a1 b0 b1 a4 a5 b4 b5
  Vec hi2 = _mm512_shuffle_i32x4(lo, hi, 0xDD);  // a2 a3 b2 b3 a6 a7 b6 b7
  minmax<Up>(&lo2, &hi2);
  Vec lo3 = _mm512_unpacklo_epi64(lo2, hi2);  // a0 a2 b0 b2 a4 a6 b4 b6
  Vec hi3 = _mm512_unpackhi_epi64(lo2, hi2);  // a1 a3 b1 b3 a5 a7 b5 b7
  minmax<Up>(&lo3, &hi3);
  *a = pick<0, 8, 1, 9, 4, 12, 5, 13>(lo3, hi3);
  *b = pick<2, 10, 3, 11, 6, 14, 7, 15>(lo3, hi3);
}

// ---------------------------------------------------------------------------
// Full sort of 8R keys in R registers, R = 1, 2, 4, 8 or 16.
//
// The columns are sorted down the rows first. Sorted runs of G columns are
// then merged pairwise (G = 1, 2, 4), a run being read down each of its
// columns in turn: key j of a run lies in row j % R, column j / R. Merging
// two runs of L = R*G keys is the bitonic merger on the first run followed by
// the second reversed. Its first stage compares key j of one run with key
// L-1-j of the other, which is row r against row R-1-r and lane c against
// lane c ^ (2G-1); its later stages compare keys R*G/2 .. R apart, which are
// lanes G/2 .. 1 apart in one row, and then keys R/2 .. 1 apart, which are
// whole rows. Only the last step leaves the column order: the keys are
// transposed so that register i holds keys 8i .. 8i+7.
//
// Per network, vpminsq and vpmaxsq each (column sort + three merges):
//   R = 1:   0 + 1 + 2 + 3            =   6
//   R = 2:   1 + 2 + 3 + 4            =  10
//   R = 4:   5 + 6 + 8 + 10           =  29
//   R = 8:  19 + 16 + 20 + 24         =  79
//   R = 16: 63 + 40 + 48 + 56         = 207

// The stages of a merge of runs of G columns that work within rows (the
// first, and those lanes G/2 .. 1 apart) on the two rows that the first
// stage pairs: a = row r, b = row R-1-r. Keys are named by lane, a0 .. a7
// and b0 .. b7. G vpminsq and G vpmaxsq for G = 1, 2; 3 each for G = 4.
template <bool Up, int G>
NETSORT_ALWAYS_INLINE void merge_columns_in_rows(Vec* a, Vec* b) {
  if constexpr (G == 1) {
    // a0-b1, b0-a1, a2-b3, ..., the first run (even lanes) taking the lower.
    Vec lo = _mm512_unpacklo_epi64(*a, *b);  // a0 b0 a2 b2 a4 b4 a6 b6
    Vec hi = _mm512_unpackhi_epi64(*b, *a);  // b1 a1 b3 a3 b5 a5 b7 a7
    minmax<Up>(&lo, &hi);
    *a = _mm512_mask_blend_epi64(0xAA, lo, hi);
    *b = pick<1, 8, 3, 10, 5, 12, 7, 14>(lo, hi);
  } else if constexpr (G == 2) {
    // a0-b3, a1-b2, a4-b7, a5-b6 and b0-a3, ...; then lanes 1 apart.
    Vec lo = _mm512_shuffle_i32x4(*a, *b, 0x88);  // a0 a1 a4 a5 b0 b1 b4 b5
    Vec hi = pick<11, 10, 15, 14, 3, 2, 7, 6>(*a, *b);  // b3 b2 b7 b6 a3 ..
    minmax<Up>(&lo, &hi);
    Vec lo2 = pick<0, 13, 2, 15, 4, 9, 6, 11>(lo, hi);  // a0 a2 a4 a6 b0 ..
    Vec hi2 = pick<1, 12, 3, 14, 5, 8, 7, 10>(lo, hi);  // a1 a3 a5 a7 b1 ..
    minmax<Up>(&lo2, &hi2);
    *a = pick<0, 8, 1, 9, 2, 10, 3, 11>(lo2, hi2);
    *b = pick<4, 12, 5, 13, 6, 14, 7, 15>(lo2, hi2);
  } else {
    // a0-b7, a1-b6, a2-b5, a3-b4 and b0-a7, ...; then lanes 2 and 1 apart.
    Vec lo = _mm512_shuffle_i32x4(*a, *b, 0x44);  // a0 a1 a2 a3 b0 b1 b2 b3
    Vec hi = pick<15, 14, 13, 12, 7, 6, 5, 4>(*a, *b);  // b7 b6 b5 b4 a7 ..
    minmax<Up>(&lo, &hi);
    Vec lo2 = pick<0, 1, 15, 14, 4, 5, 11, 10>(lo, hi);  // a0 a1 a4 a5 b0 ..
    Vec hi2 = pick<2, 3, 13, 12, 6, 7, 9, 8>(lo, hi);    // a2 a3 a6 a7 b2 ..
    minmax<Up>(&lo2, &hi2);
    Vec lo3 = _mm512_unpacklo_epi64(lo2, hi2);  // a0 a2 a4 a6 b0 b2 b4 b6
    Vec hi3 = _mm512_unpackhi_epi64(lo2, hi2);  // a1 a3 a5 a7 b1 b3 b5 b7
    minmax<Up>(&lo3, &hi3);
    *a = pick<0, 8, 1, 9, 2, 10, 3, 11>(lo3, hi3);
    *b = pick<4, 12, 5, 13, 6, 14, 7, 15>(lo3, hi3);
  }
}

// A single register has no partner row: its stages run lane by lane.
template <bool Up, int G>
NETSORT_ALWAYS_INLINE void merge_columns_in_row(Vec* v) {
  constexpr Mask kSecond = G == 1 ? 0xAA : G == 2 ? 0xCC : 0xF0;
  *v = lane_stage<Up, 2 * G - 1>(*v, kSecond);
  if constexpr (G == 4) *v = lane_stage<Up, 2>(*v, 0xCC);
  if constexpr (G >= 2) *v = lane_stage<Up, 1>(*v, 0xAA);
}

template <bool Up, int R, int G>
NETSORT_ALWAYS_INLINE void merge_column_runs(Vec* v) {
  if constexpr (R == 1) {
    merge_columns_in_row<Up, G>(v);
  } else {
#pragma GCC unroll 8
    for (int r = 0; r < R / 2; ++r) {
      merge_columns_in_rows<Up, G>(&v[r], &v[R - 1 - r]);
    }
    rows_bitonic<Up, R>(v);
  }
}

// Transposes the 8x8 block v[0..8): out[c] = column c.
NETSORT_ALWAYS_INLINE void transpose_8x8(const Vec* v, Vec* out) {
  Vec u[8];
#pragma GCC unroll 4
  for (int r = 0; r < 8; r += 2) {
    u[r] = _mm512_unpacklo_epi64(v[r], v[r + 1]);      // even columns
    u[r + 1] = _mm512_unpackhi_epi64(v[r], v[r + 1]);  // odd columns
  }
  // u[r + e] holds column 2j + e of rows r, r + 1 in 128-bit block j.
#pragma GCC unroll 2
  for (int e = 0; e < 2; ++e) {
    const Vec a0 = _mm512_shuffle_i32x4(u[e], u[2 + e], 0x88);  // blocks 0, 2
    const Vec a1 = _mm512_shuffle_i32x4(u[e], u[2 + e], 0xDD);  // blocks 1, 3
    const Vec b0 = _mm512_shuffle_i32x4(u[4 + e], u[6 + e], 0x88);
    const Vec b1 = _mm512_shuffle_i32x4(u[4 + e], u[6 + e], 0xDD);
    out[e] = _mm512_shuffle_i32x4(a0, b0, 0x88);
    out[4 + e] = _mm512_shuffle_i32x4(a0, b0, 0xDD);
    out[2 + e] = _mm512_shuffle_i32x4(a1, b1, 0x88);
    out[6 + e] = _mm512_shuffle_i32x4(a1, b1, 0xDD);
  }
}

// From key j in row j % R, column j / R, to key j in register j / 8,
// lane j % 8.
template <int R>
NETSORT_ALWAYS_INLINE void to_row_major(Vec* v) {
  if constexpr (R == 2) {
    const Vec a = pick<0, 8, 1, 9, 2, 10, 3, 11>(v[0], v[1]);
    v[1] = pick<4, 12, 5, 13, 6, 14, 7, 15>(v[0], v[1]);
    v[0] = a;
  } else if constexpr (R == 4) {
    // Register i takes columns 2i and 2i + 1 of the four rows.
    const Vec p0 = _mm512_unpacklo_epi64(v[0], v[1]);
    const Vec p1 = _mm512_unpackhi_epi64(v[0], v[1]);
    const Vec p2 = _mm512_unpacklo_epi64(v[2], v[3]);
    const Vec p3 = _mm512_unpackhi_epi64(v[2], v[3]);
    const Vec q0 = _mm512_shuffle_i32x4(p0, p2, 0x44);  // blocks 0, 1
    const Vec q1 = _mm512_shuffle_i32x4(p1, p3, 0x44);
    const Vec q2 = _mm512_shuffle_i32x4(p0, p2, 0xEE);  // blocks 2, 3
    const Vec q3 = _mm512_shuffle_i32x4(p1, p3, 0xEE);
    v[0] = _mm512_shuffle_i32x4(q0, q1, 0x88);
    v[1] = _mm512_shuffle_i32x4(q0, q1, 0xDD);
    v[2] = _mm512_shuffle_i32x4(q2, q3, 0x88);
    v[3] = _mm512_shuffle_i32x4(q2, q3, 0xDD);
  } else if constexpr (R == 8) {
    Vec t[8];
    transpose_8x8(v, t);
#pragma GCC unroll 8
    for (int i = 0; i < 8; ++i) v[i] = t[i];
  } else if constexpr (R == 16) {
    // Keys 16c .. 16c+7 are column c of rows 0..7, the next 8 of rows 8..15.
    Vec t0[8], t1[8];
    transpose_8x8(v, t0);
    transpose_8x8(v + 8, t1);
#pragma GCC unroll 8
    for (int c = 0; c < 8; ++c) {
      v[2 * c] = t0[c];
      v[2 * c + 1] = t1[c];
    }
  }
}

template <bool Up, int R>
NETSORT_ALWAYS_INLINE void sort_registers(Vec* v) {
  rows_odd_even_sort<Up, 0, R>(v);
  merge_column_runs<Up, R, 1>(v);
  merge_column_runs<Up, R, 2>(v);
  merge_column_runs<Up, R, 4>(v);
  to_row_major<R>(v);
}

// Bitonic merger of 8R keys, register i holding keys 8i .. 8i+7: rows
// R/2 .. 1 apart, then lanes 4, 2, 1 apart. vpminsq and vpmaxsq each:
// log2(R) * R/2 + 3R/2 (3 for R = 1), that is 3, 4, 10, 24 and 56 for
// R = 1 .. 16.
template <bool Up, int R>
NETSORT_ALWAYS_INLINE void merge_registers(Vec* v) {
  rows_bitonic<Up, R>(v);
  if constexpr (R == 1) {
    v[0] = lane_stage<Up, 4>(v[0], 0xF0);
    v[0] = lane_stage<Up, 2>(v[0], 0xCC);
    v[0] = lane_stage<Up, 1>(v[0], 0xAA);
  } else {
#pragma GCC unroll 8
    for (int r = 0; r < R; r += 2) merge_lanes<Up>(&v[r], &v[r + 1]);
  }
}

// ---------------------------------------------------------------------------
// Fixed networks.

// Ascending sort of x[0..n), n <= 8R; lanes at or past n hold INT64_MAX and
// are neither read nor written.
template <int R>
NETSORT_NOINLINE void sort_upto(int64_t* x, int64_t n) {
  Vec v[R];
  Mask k[R];
  lanes_below<R>(n, k);
#pragma GCC unroll 16
  for (int i = 0; i < R; ++i) v[i] = load_or_largest(x + 8 * i, k[i]);
  sort_registers<true, R>(v);
#pragma GCC unroll 16
  for (int i = 0; i < R; ++i) store_lanes(x + 8 * i, k[i], v[i]);
}

// Sort of exactly 128 keys, ascending or descending.
template <bool Up>
NETSORT_NOINLINE void sort_128(int64_t* x) {
  Vec v[16];
#pragma GCC unroll 16
  for (int i = 0; i < 16; ++i) v[i] = load(x + 8 * i);
  sort_registers<Up, 16>(v);
#pragma GCC unroll 16
  for (int i = 0; i < 16; ++i) store(x + 8 * i, v[i]);
}

// Bitonic merger of exactly 128 keys.
template <bool Up>
NETSORT_NOINLINE void merge_128(int64_t* x) {
  Vec v[16];
#pragma GCC unroll 16
  for (int i = 0; i < 16; ++i) v[i] = load(x + 8 * i);
  merge_registers<Up, 16>(v);
#pragma GCC unroll 16
  for (int i = 0; i < 16; ++i) store(x + 8 * i, v[i]);
}

// Ascending bitonic merger of width 8R on x[0..n), n < 8R; the positions
// from n on count as INT64_MAX and are neither read nor written.
template <int R>
NETSORT_NOINLINE void merge_upto(int64_t* x, int64_t n) {
  Vec v[R];
  Mask k[R];
  lanes_below<R>(n, k);
#pragma GCC unroll 16
  for (int i = 0; i < R; ++i) v[i] = load_or_largest(x + 8 * i, k[i]);
  merge_registers<true, R>(v);
#pragma GCC unroll 16
  for (int i = 0; i < R; ++i) store_lanes(x + 8 * i, k[i], v[i]);
}

// The first S stages of a bitonic merger across 2^S rows `stride` apart, on
// columns 0 .. stride-1 (stride a multiple of 8). S * 2^(S-1) vpminsq and as
// many vpmaxsq per 8 columns.
template <bool Up, int S>
NETSORT_NOINLINE void merge_rows(int64_t* x, int64_t stride) {
  constexpr int kRows = 1 << S;
  for (int64_t j = 0; j < stride; j += 8) {
    Vec v[kRows];
#pragma GCC unroll 16
    for (int i = 0; i < kRows; ++i) v[i] = load(x + j + i * stride);
    rows_bitonic<Up, kRows>(v);
#pragma GCC unroll 16
    for (int i = 0; i < kRows; ++i) store(x + j + i * stride, v[i]);
  }
}

// Compare-exchange of x[j] and x[j + distance], smaller first, for j below
// count; count < distance, and distance is a multiple of 8.
void merge_stage(int64_t* x, int64_t distance, int64_t count) {
  int64_t j = 0;
  for (; j + 8 <= count; j += 8) {
    Vec a = load(x + j);
    Vec b = load(x + j + distance);
    minmax<true>(&a, &b);
    store(x + j, a);
    store(x + j + distance, b);
  }
  if (j < count) {
    // x[j..j+8) lies below distance, so it is all there; the partners past
    // count are padding, and a key keeps its place against them.
    const Mask k = first_lanes(count - j);
    Vec a = load(x + j);
    Vec b = load_or_largest(x + j + distance, k);
    minmax<true>(&a, &b);
    store(x + j, a);
    store_lanes(x + j + distance, k, b);
  }
}

// ---------------------------------------------------------------------------
// Sorts and mergers of any size.

// Bitonic merger of w keys, w a power of two of at least 128: up to four
// stages at a time across rows of at least 128 keys, then each row.
template <bool Up>
void merge_power_of_two(int64_t* x, int64_t w) {
  if (w == 128) {
    merge_128<Up>(x);
    return;
  }
  int64_t rows;
  if (w >= 2048) {
    rows = 16;
    merge_rows<Up, 4>(x, w / 16);
  } else if (w == 1024) {
    rows = 8;
    merge_rows<Up, 3>(x, w / 8);
  } else if (w == 512) {
    rows = 4;
    merge_rows<Up, 2>(x, w / 4);
  } else {
    rows = 2;
    merge_rows<Up, 1>(x, w / 2);
  }
  const int64_t stride = w / rows;
  for (int64_t k = 0; k < rows; ++k)
    merge_power_of_two<Up>(x + k * stride, stride);
}

// Bitonic sort of n keys, n a power of two of at least 128: the first half
// the other way round, so that the whole rises and falls (or the reverse).
template <bool Up>
void sort_power_of_two(int64_t* x, int64_t n) {
  if (n == 128) {
    sort_128<Up>(x);
    return;
  }
  sort_power_of_two<!Up>(x, n / 2);
  sort_power_of_two<Up>(x + n / 2, n / 2);
  merge_power_of_two<Up>(x, n);
}

// Ascending bitonic merger of width w on x[0..m), m < w, w a power of two:
// the positions from m on count as INT64_MAX, so every compare-exchange that
// touches them is left out. The input must be bitonic with that padding.
void merge_partial(int64_t* x, int64_t m, int64_t w) {
  for (;;) {
    if (m <= 1) return;
    while (w / 2 >= m) w /= 2;  // the stage w/2 apart would find no partner
    if (w <= 8) {
      merge_upto<1>(x, m);
      return;
    }
    if (w <= 128) {
      if (w == 16) {
        merge_upto<2>(x, m);
      } else if (w == 32) {
        merge_upto<4>(x, m);
      } else if (w == 64) {
        merge_upto<8>(x, m);
      } else {
        merge_upto<16>(x, m);
      }
      return;
    }
    // The first stage, then the full lower half and the partial upper half.
    const int64_t h = w / 2;
    merge_stage(x, h, m - h);
    merge_power_of_two<true>(x, h);
    x += h;
    m -= h;
    w = h;
  }
}

// Ascending sort of any n: up to 128 keys in registers, powers of two by
// bitonic sorting, and otherwise the largest power of two q below n sorted
// descending, the rest ascending, and the two merged as one bitonic sequence
// of width 2q.
void sort_any(int64_t* x, int64_t n) {
  if (n <= 1) return;
  if (n <= 8) {
    sort_upto<1>(x, n);
  } else if (n <= 16) {
    sort_upto<2>(x, n);
  } else if (n <= 32) {
    sort_upto<4>(x, n);
  } else if (n <= 64) {
    sort_upto<8>(x, n);
  } else if (n <= 128) {
    sort_upto<16>(x, n);
  } else if ((n & (n - 1)) == 0) {
    sort_power_of_two<true>(x, n);
  } else {
    int64_t q = 128;
    while (q < n - q) q += q;
    sort_power_of_two<false>(x, q);
    sort_any(x + q, n - q);
    merge_partial(x, n, 2 * q);
  }
}

}  // namespace

void netsort_int64_avx512(int64_t* x, int64_t n) { sort_any(x, n); }
