// Sorting-network tests: every length to past 1024 against std::sort, memory
// guards, special float patterns, and the 0-1 principle for small n; the AVX2
// form against the portable one, bit for bit, to past 2048.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "_exhaustive_kernel.h"
#include "_netsort.h"
#include "hwy/targets.h"

namespace {

constexpr int64_t kMaxN = 1100;  // Past 1024, so the top level spans > 512.
constexpr size_t kPad = 8;

// Patterns that sit at the edges of the float order (and int64 extremes).
const std::vector<uint64_t> kSpecials = {
    0x0000000000000000, 0x8000000000000000,  // +0, -0 / INT64_MIN
    0x7FF0000000000000, 0xFFF0000000000000,  // +-inf
    0x7FF8000000000000, 0xFFF8000000000000,  // quiet NaNs
    0x7FF0000000000001, 0xFFF0000000000001,  // signalling NaNs
    0x7FFFFFFFFFFFFFFF, 0xFFFFFFFFFFFFFFFF,  // extreme NaNs / INT64_MAX, -1
    0x0000000000000001, 0x800FFFFFFFFFFFFF,  // subnormals
    0x3FF0000000000000, 0xBFF0000000000000,  // +-1.0
};

// Per element type: the order key of a bit pattern and the smallest pattern.
struct Int64Keys {
  using T = int64_t;
  static int64_t Key(uint64_t b) { return static_cast<int64_t>(b); }
  static constexpr uint64_t kMin = 0x8000000000000000;
};
struct Float64Keys {
  using T = double;
  static int64_t Key(uint64_t b) {  // Sign kept, low bits flipped if set.
    return static_cast<int64_t>(
        b ^ (static_cast<uint64_t>(static_cast<int64_t>(b) >> 63) >> 1));
  }
  static constexpr uint64_t kMin = 0xFFFFFFFFFFFFFFFF;
};
constexpr uint64_t kMax = 0x7FFFFFFFFFFFFFFF;  // Largest for both.

void SortValues(double* x, int64_t n) {
  veldra::sort_values(x, static_cast<size_t>(n));
}

bool HasAvx2() { return (hwy::SupportedTargets() & HWY_AVX2) != 0; }

// The float sorts this processor can run.
std::vector<void (*)(double*, int64_t)> FloatSorts() {
  std::vector<void (*)(double*, int64_t)> sorts = {
      netsort_float64, netsort_float64_portable, SortValues};
  if (HasAvx2()) sorts.push_back(netsort_float64_avx2);
  return sorts;
}

// Reinterprets 64-bit slots without converting values.
template <typename To, typename From>
std::vector<To> Recast(const std::vector<From>& v) {
  std::vector<To> out(v.size());
  if (!v.empty()) std::memcpy(out.data(), v.data(), 8 * v.size());
  return out;
}

enum Kind { kRandom, kNormal, kDuplicates, kSpecial, kUp, kDown, kEqual };

template <typename K>
std::vector<uint64_t> MakeInput(Kind kind, int64_t n, std::mt19937_64& rng) {
  std::vector<uint64_t> v(n);
  std::normal_distribution<double> normal;
  const uint64_t pool[3] = {rng(), rng(), kSpecials[rng() % kSpecials.size()]};
  for (auto& b : v) {
    switch (kind) {
      case kRandom:
        b = rng();
        break;
      case kNormal: {
        double d = normal(rng);
        std::memcpy(&b, &d, 8);
        break;
      }
      case kDuplicates:
      case kEqual:
        b = pool[kind == kEqual ? 0 : rng() % 3];
        break;
      default:  // Specials; also the values of the ordered kinds.
        b = rng() % 4 ? kSpecials[rng() % kSpecials.size()] : rng();
    }
  }
  if (kind == kUp || kind == kDown) {
    std::sort(v.begin(), v.end(), [&](uint64_t a, uint64_t b) {
      return kind == kUp ? K::Key(a) < K::Key(b) : K::Key(b) < K::Key(a);
    });
  }
  return v;
}

// Sorts `in` placed `shift` slots into a padded buffer. The padding on each
// side is the pattern that would sort to the far end, so any stray access
// that joins it to the data moves it. Checks the padding, the result against
// std::sort of the keys (hence also the multiset), and that a second pass
// changes nothing.
template <typename K>
void CheckSort(void (*sort)(typename K::T*, int64_t),
               const std::vector<uint64_t>& in, size_t shift) {
  const size_t n = in.size(), lo = kPad + shift;
  std::vector<uint64_t> want(lo, kMax);
  want.insert(want.end(), in.begin(), in.end());
  want.resize(lo + n + kPad, K::kMin);
  auto buf = Recast<typename K::T>(want);
  std::sort(want.begin() + lo, want.begin() + lo + n,
            [](uint64_t a, uint64_t b) { return K::Key(a) < K::Key(b); });

  for (int pass = 0; pass < 2; ++pass) {
    sort(buf.data() + lo, static_cast<int64_t>(n));
    const auto got = Recast<uint64_t>(buf);
    for (size_t i = 0; i < got.size(); ++i) {
      ASSERT_EQ(got[i], want[i])
          << "n=" << n << " pass=" << pass << " slot " << int64_t(i - lo)
          << (i < lo || i >= lo + n ? " (guard)" : "");
    }
  }
}

TEST(NetsortTest, EveryLengthMatchesReference) {
  std::mt19937_64 rng(12345);
  for (int64_t n = 0; n <= kMaxN; ++n) {
    const size_t shift = n % 4;  // Varies alignment past 16 and 32 bytes.
    for (Kind kind :
         {kRandom, kNormal, kDuplicates, kSpecial, kUp, kDown, kEqual}) {
      SCOPED_TRACE(testing::Message() << "kind=" << kind);
      CheckSort<Int64Keys>(netsort_int64_portable,
                           MakeInput<Int64Keys>(kind, n, rng), shift);
      const auto in = MakeInput<Float64Keys>(kind, n, rng);
      CheckSort<Float64Keys>(netsort_float64_portable, in, shift);
      CheckSort<Float64Keys>(netsort_float64, in, shift);
      if (n % 128 == 1) CheckSort<Float64Keys>(SortValues, in, shift);
      if (HasFatalFailure()) return;
    }
  }
}

TEST(NetsortTest, SpecialValuesLandInTotalOrder) {
  // Written out by hand, independently of the reference key above.
  const std::vector<uint64_t> ordered = {
      0xFFFFFFFFFFFFFFFF, 0xFFF8000000000000, 0xFFF0000000000001,
      0xFFF0000000000000, 0xFFEFFFFFFFFFFFFF, 0xBFF0000000000000,
      0x800FFFFFFFFFFFFF, 0x8000000000000001, 0x8000000000000000,
      0x0000000000000000, 0x0000000000000001, 0x0010000000000000,
      0x3FF0000000000000, 0x7FF0000000000000, 0x7FF0000000000001,
      0x7FF8000000000000, 0x7FFFFFFFFFFFFFFF};
  std::mt19937_64 rng(3);
  for (void (*sort)(double*, int64_t) : FloatSorts()) {
    for (int rep = 0; rep < 20; ++rep) {
      std::vector<uint64_t> v = ordered;
      std::shuffle(v.begin(), v.end(), rng);
      auto d = Recast<double>(v);
      sort(d.data(), static_cast<int64_t>(d.size()));
      ASSERT_EQ(Recast<uint64_t>(d), ordered);
    }
  }
}

TEST(NetsortTest, ShortCountsLeaveArrayAlone) {
  for (void (*sort)(double*, int64_t) : FloatSorts()) {
    sort(nullptr, 0);  // Must not read or write.
    const std::vector<uint64_t> in = {kMax, 0xFFF8000000000000, 0};
    auto d = Recast<double>(in);
    for (int64_t n : {0, -1, -100}) sort(d.data(), n);
    sort(d.data() + 1, 1);  // The NaN's payload must survive the key passes.
    EXPECT_EQ(Recast<uint64_t>(d), in);
  }
  std::vector<int64_t> w = {5, 4, 3};
  for (int64_t n : {1, 0, -3}) netsort_int64_portable(w.data(), n);
  if (HasAvx2()) {
    netsort_int64_avx2(nullptr, 0);
    for (int64_t n : {1, 0, -3}) netsort_int64_avx2(w.data(), n);
  }
  EXPECT_EQ(w, (std::vector<int64_t>{5, 4, 3}));
}

// A comparator network sorts everything iff it sorts every 0/1 input. The
// float entry runs to a smaller n: its per-call target query is not free.
// The AVX2 fixed networks for 3 to 20 keys (scalar, 8 to 16 and 17 to 20
// padded to 32) get the same proof.
TEST(NetsortTest, AllZeroOneInputs) {
  const bool avx2 = HasAvx2();
  int64_t ints[20], vector_ints[20];
  double reals[20];
  for (int n = 2; n <= 20; ++n) {
    for (uint32_t bits = 0; bits < (1u << n); ++bits) {
      for (int i = 0; i < n; ++i) {
        reals[i] = ints[i] = vector_ints[i] = (bits >> i) & 1;
      }
      netsort_int64_portable(ints, n);
      if (avx2) netsort_int64_avx2(vector_ints, n);
      if (n <= 12) netsort_float64(reals, n);
      bool ok = true;
      for (int i = 0, zeros = n - __builtin_popcount(bits); i < n; ++i) {
        ok &= ints[i] == (i >= zeros) && (n > 12 || reals[i] == (i >= zeros));
        ok &= !avx2 || vector_ints[i] == (i >= zeros);
      }
      ASSERT_TRUE(ok) << "n=" << n << " input bits=" << bits;
    }
  }
}

// ---------------------------------------------------------------------------
// The AVX2 network against the portable one.

constexpr size_t kGuard = 16;  // Slots on each side of the sorted range.

enum Avx2Kind {
  kIntRandom,      // Uniform 64-bit keys.
  kIntDuplicates,  // Four distinct keys, each many times over.
  kIntExtremes,    // INT64_MIN and INT64_MAX mixed in with random keys.
  kFloatSpecial,   // Zeros, infinities, NaNs, subnormals and normals.
  kFloatNormal,    // Like the residuals the score sorts.
};

std::vector<uint64_t> MakeAvx2Input(Avx2Kind kind, int64_t n,
                                    std::mt19937_64& rng) {
  // Both signs and several payloads of NaN, signalling and quiet.
  static const uint64_t kFloatPool[] = {
      0x0000000000000000, 0x8000000000000000, 0x7FF0000000000000,
      0xFFF0000000000000, 0x7FF8000000000000, 0xFFF8000000000000,
      0x7FF0000000000001, 0xFFF0000000000001, 0x7FF4000000000123,
      0xFFFC0000DEADBEEF, 0x7FFFFFFFFFFFFFFF, 0xFFFFFFFFFFFFFFFF,
      0x0000000000000001, 0x8000000000000001, 0x000FFFFFFFFFFFFF,
      0x800FFFFFFFFFFFFF, 0x0010000000000000, 0x3FF0000000000000,
      0xBFF0000000000000, 0x7FEFFFFFFFFFFFFF, 0xFFEFFFFFFFFFFFFF};
  const uint64_t dup[4] = {rng(), rng(), 0, 0x8000000000000000};
  std::normal_distribution<double> normal;
  std::vector<uint64_t> v(n);
  for (auto& b : v) {
    switch (kind) {
      case kIntRandom:
        b = rng();
        break;
      case kIntDuplicates:
        b = dup[rng() % 4];
        break;
      case kIntExtremes: {
        const uint64_t r = rng();
        b = r % 3 == 0 ? kMax : r % 3 == 1 ? 0x8000000000000000 : rng();
        break;
      }
      case kFloatSpecial:
        b = rng() % 2 ? kFloatPool[rng() % std::size(kFloatPool)] : rng();
        break;
      case kFloatNormal: {
        const double d = normal(rng);
        std::memcpy(&b, &d, 8);
        break;
      }
    }
  }
  return v;
}

// Sorts `in` with both forms (int64 or float64 by kind), each in a guarded
// buffer whose first key is `misalign` slots past a 32-byte boundary, and in
// an exactly sized heap array (so that AddressSanitizer sees any access past
// the end). Everything must match the std::sort reference bit for bit.
void CompareForms(Avx2Kind kind, const std::vector<uint64_t>& in,
                  size_t misalign) {
  const bool is_float = kind >= kFloatSpecial;
  const size_t n = in.size();
  const uint64_t left = 0x7FFFFFFFFFFFFFFF;  // Largest: sorts to the end.
  const uint64_t right = is_float ? 0xFFFFFFFFFFFFFFFF : 0x8000000000000000;

  std::vector<uint64_t> want = in;
  std::sort(want.begin(), want.end(), [&](uint64_t a, uint64_t b) {
    return is_float ? Float64Keys::Key(a) < Float64Keys::Key(b)
                    : Int64Keys::Key(a) < Int64Keys::Key(b);
  });

  for (bool vector_form : {false, true}) {
    std::vector<uint64_t> buf(n + 2 * kGuard + 4);
    size_t lo = kGuard;
    while (reinterpret_cast<uintptr_t>(buf.data() + lo) % 32 != 8 * misalign)
      ++lo;
    std::fill(buf.begin(), buf.begin() + lo, left);
    std::copy(in.begin(), in.end(), buf.begin() + lo);
    std::fill(buf.begin() + lo + n, buf.end(), right);
    std::vector<uint64_t> exact = in;
    for (uint64_t* x : {buf.data() + lo, exact.data()}) {
      const int64_t m = static_cast<int64_t>(n);
      if (is_float) {
        double* d = reinterpret_cast<double*>(x);
        vector_form ? netsort_float64_avx2(d, m)
                    : netsort_float64_portable(d, m);
      } else {
        int64_t* k = reinterpret_cast<int64_t*>(x);
        vector_form ? netsort_int64_avx2(k, m) : netsort_int64_portable(k, m);
      }
    }
    const char* form = vector_form ? "avx2" : "portable";
    ASSERT_TRUE(std::equal(want.begin(), want.end(), exact.begin()))
        << form << " n=" << n;
    for (size_t i = 0; i < buf.size(); ++i) {
      const uint64_t expected = i < lo        ? left
                                : i >= lo + n ? right
                                              : want[i - lo];
      ASSERT_EQ(buf[i], expected)
          << form << " n=" << n << " misalign=" << misalign << " slot "
          << static_cast<int64_t>(i - lo)
          << (i < lo || i >= lo + n ? " (guard)" : "");
    }
  }
}

// Every length to 2100 (all split rules, the stack-buffer sizes 81 to 95 and
// 97 to 127, every row shape of the mergers) and a few large ones, aligned
// and one slot past a 32-byte boundary.
TEST(NetsortAvx2Test, MatchesPortableBitForBit) {
  if (!HasAvx2()) GTEST_SKIP() << "no AVX2 on this processor";
  std::mt19937_64 rng(777);
  std::vector<int64_t> sizes;
  for (int64_t n = 0; n <= 2100; ++n) sizes.push_back(n);
  for (int64_t n : {4096, 8192, 10000, 65537}) sizes.push_back(n);
  for (int64_t n : sizes) {
    for (Avx2Kind kind : {kIntRandom, kIntDuplicates, kIntExtremes,
                          kFloatSpecial, kFloatNormal}) {
      SCOPED_TRACE(testing::Message() << "kind=" << kind);
      const auto in = MakeAvx2Input(kind, n, rng);
      CompareForms(kind, in, 1);
      if (kind == kIntRandom || kind == kFloatSpecial)
        CompareForms(kind, in, 0);
      if (HasFatalFailure()) return;
    }
  }
}

// Inputs with structure that random keys lack, at the sizes that pick each
// rule of the size dispatch: the fixed networks (8, 16, 32, 64), the split at
// 64 (65, 80), the one-and-a-half split (96, 192, 384), the three-quarter
// split (513, 896) and the power-of-two split (897, 1023).
TEST(NetsortAvx2Test, EachSizeRuleSorts) {
  if (!HasAvx2()) GTEST_SKIP() << "no AVX2 on this processor";
  std::mt19937_64 rng(99);
  for (int64_t n : {8, 16, 32, 64, 65, 80, 96, 192, 384, 513, 896, 897, 1023}) {
    for (int shape = 0; shape < 7; ++shape) {
      std::vector<uint64_t> in(n);
      for (int64_t i = 0; i < n; ++i) {
        const uint64_t up = static_cast<uint64_t>(i) << 40;
        switch (shape) {
          case 0:
            in[i] = up;
            break;  // ascending
          case 1:
            in[i] = ~up;
            break;  // descending
          case 2:
            in[i] = 2 * i < n ? up : (n - i) << 40;
            break;  // rise, fall
          case 3:
            in[i] = 2 * i < n ? (n - i) << 40 : up;
            break;  // fall, rise
          case 4:
            in[i] = (i % 7) << 60;
            break;  // sawtooth
          case 5:
            in[i] = kMax;
            break;  // all largest
          default:
            in[i] = rng() & 1;
            break;  // zeros, ones
        }
      }
      SCOPED_TRACE(testing::Message() << "shape=" << shape);
      CheckSort<Int64Keys>(netsort_int64_avx2, in, n % 4);
      CheckSort<Float64Keys>(netsort_float64_avx2, in, 1);
      if (HasFatalFailure()) return;
    }
  }
}

}  // namespace
