// Sorting-network tests: every length to past 1024 against std::sort, memory
// guards, special float patterns, and the 0-1 principle for small n; each
// vector form (AVX2, AVX-512, and AVX-512 on SIMDe's emulation, which runs
// anywhere) against the portable one, bit for bit, to past 2048.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "_exhaustive_kernel.h"
#include "hwy/targets.h"
#include "netsort/_netsort.h"

#ifdef VELDRA_HAVE_AVX512_EMULATION
// The AVX-512 sources built for baseline x86-64 on SIMDe (tests only).
void netsort_int64_avx512_emulated(int64_t* x, int64_t n);
void netsort_float64_avx512_emulated(double* x, int64_t n);
#endif

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

// A vector form of the network, and why it cannot run here (null if it can).
struct VectorForm {
  const char* name;
  void (*ints)(int64_t*, int64_t);
  void (*floats)(double*, int64_t);
  const char* (*missing)();
};

const char* NeedsTarget(int64_t target, const char* what) {
  return (hwy::SupportedTargets() & target) != 0 ? nullptr : what;
}

const VectorForm kVectorForms[] = {
    {"avx2", netsort_int64_avx2, netsort_float64_avx2,
     [] { return NeedsTarget(HWY_AVX2, "no AVX2 on this processor"); }},
    {"avx512", netsort_int64_avx512, netsort_float64_avx512,
     [] { return NeedsTarget(HWY_AVX3, "no AVX-512 on this processor"); }},
#ifdef VELDRA_HAVE_AVX512_EMULATION
    {"avx512_emulated", netsort_int64_avx512_emulated,
     netsort_float64_avx512_emulated, []() -> const char* { return nullptr; }},
#else
    {"avx512_emulated", nullptr, nullptr,
     [] { return "built without SIMDe (libsimde-dev)"; }},
#endif
};

// The vector forms this processor can run.
std::vector<VectorForm> RunnableForms() {
  std::vector<VectorForm> forms;
  for (const VectorForm& form : kVectorForms) {
    if (form.missing() == nullptr) forms.push_back(form);
  }
  return forms;
}

// The float sorts this processor can run.
std::vector<void (*)(double*, int64_t)> FloatSorts() {
  std::vector<void (*)(double*, int64_t)> sorts = {
      netsort_float64, netsort_float64_portable, SortValues};
  for (const VectorForm& form : RunnableForms()) sorts.push_back(form.floats);
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
  for (const VectorForm& form : RunnableForms()) {
    form.ints(nullptr, 0);
    for (int64_t n : {1, 0, -3}) form.ints(w.data(), n);
  }
  EXPECT_EQ(w, (std::vector<int64_t>{5, 4, 3}));
}

// A comparator network sorts everything iff it sorts every 0/1 input. The
// float entry runs to a smaller n: its per-call target query is not free.
// The vector forms' fixed networks for 2 to 20 keys get the same proof
// (AVX2: scalar to 7 keys, 8 to 16 padded to 16, 17 to 20 padded to 32;
// AVX-512: padded to 8, 16 and 32).
TEST(NetsortTest, AllZeroOneInputs) {
  const std::vector<VectorForm> forms = RunnableForms();
  int64_t ints[20];
  double reals[20];
  for (int n = 2; n <= 20; ++n) {
    for (uint32_t bits = 0; bits < (1u << n); ++bits) {
      const int zeros = n - __builtin_popcount(bits);
      for (int i = 0; i < n; ++i) reals[i] = ints[i] = (bits >> i) & 1;
      netsort_int64_portable(ints, n);
      if (n <= 12) netsort_float64(reals, n);
      bool ok = true;
      for (int i = 0; i < n; ++i) {
        ok &= ints[i] == (i >= zeros) && (n > 12 || reals[i] == (i >= zeros));
      }
      ASSERT_TRUE(ok) << "n=" << n << " input bits=" << bits;
      for (const VectorForm& form : forms) {
        for (int i = 0; i < n; ++i) ints[i] = (bits >> i) & 1;
        form.ints(ints, n);
        for (int i = 0; i < n; ++i) ok &= ints[i] == (i >= zeros);
        ASSERT_TRUE(ok) << form.name << " n=" << n << " input bits=" << bits;
      }
    }
  }
}

// The entry that is told the targets takes each form the processor can run
// (the AVX-512 one, the AVX2 one, the portable one as better targets are
// taken away), and all of them give the portable form's bits.
TEST(NetsortTest, EveryTargetChoiceGivesTheSameBits) {
  const int64_t all = hwy::SupportedTargets();
  const int64_t without_avx512 = all & ~(HWY_AVX2 - 1);
  const int64_t without_avx2 = all & ~(2 * HWY_AVX2 - 1);
  std::mt19937_64 rng(5);
  for (int64_t n : {2, 7, 8, 100, 129, 1000, 4097}) {
    const auto in = MakeInput<Float64Keys>(kSpecial, n, rng);
    auto want = Recast<double>(in);
    netsort_float64_portable(want.data(), n);
    for (int64_t targets : {all, without_avx512, without_avx2}) {
      auto got = Recast<double>(in);
      netsort_float64_with_targets(got.data(), n, targets);
      ASSERT_EQ(Recast<uint64_t>(got), Recast<uint64_t>(want))
          << "n=" << n << " targets=" << targets;
    }
  }
}

// ---------------------------------------------------------------------------
// Each vector form against the portable one.

constexpr size_t kGuard = 16;  // Slots on each side of the sorted range.

enum VectorKind {
  kIntRandom,      // Uniform 64-bit keys.
  kIntDuplicates,  // Four distinct keys, each many times over.
  kIntExtremes,    // INT64_MIN and INT64_MAX mixed in with random keys.
  kFloatSpecial,   // Zeros, infinities, NaNs, subnormals and normals.
  kFloatNormal,    // Like the residuals the score sorts.
};

std::vector<uint64_t> MakeVectorInput(VectorKind kind, int64_t n,
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

// Sorts `in` with the portable and the vector form (int64 or float64 by
// kind), each in a guarded buffer whose first key is `misalign` slots past a
// 64-byte boundary, and in an exactly sized heap array (so that
// AddressSanitizer sees any access past either end). Everything must match
// the std::sort reference bit for bit.
void CompareForms(const VectorForm& form, VectorKind kind,
                  const std::vector<uint64_t>& in, size_t misalign) {
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
    std::vector<uint64_t> buf(n + 2 * kGuard + 8);
    size_t lo = kGuard;
    while (reinterpret_cast<uintptr_t>(buf.data() + lo) % 64 != 8 * misalign)
      ++lo;
    std::fill(buf.begin(), buf.begin() + lo, left);
    std::copy(in.begin(), in.end(), buf.begin() + lo);
    std::fill(buf.begin() + lo + n, buf.end(), right);
    std::vector<uint64_t> exact = in;
    for (uint64_t* x : {buf.data() + lo, exact.data()}) {
      const int64_t m = static_cast<int64_t>(n);
      if (is_float) {
        double* d = reinterpret_cast<double*>(x);
        vector_form ? form.floats(d, m) : netsort_float64_portable(d, m);
      } else {
        int64_t* k = reinterpret_cast<int64_t*>(x);
        vector_form ? form.ints(k, m) : netsort_int64_portable(k, m);
      }
    }
    const char* name = vector_form ? form.name : "portable";
    ASSERT_TRUE(std::equal(want.begin(), want.end(), exact.begin()))
        << name << " n=" << n;
    for (size_t i = 0; i < buf.size(); ++i) {
      const uint64_t expected = i < lo        ? left
                                : i >= lo + n ? right
                                              : want[i - lo];
      ASSERT_EQ(buf[i], expected)
          << name << " n=" << n << " misalign=" << misalign << " slot "
          << static_cast<int64_t>(i - lo)
          << (i < lo || i >= lo + n ? " (guard)" : "");
    }
  }
}

class NetsortVectorTest : public testing::TestWithParam<VectorForm> {
 protected:
  void SetUp() override {
    if (const char* why = GetParam().missing()) GTEST_SKIP() << why;
  }
};

INSTANTIATE_TEST_SUITE_P(Forms, NetsortVectorTest,
                         testing::ValuesIn(kVectorForms),
                         [](const auto& info) { return info.param.name; });

// Every length to 2100 (all split rules and padded sizes of both forms, every
// row shape of the mergers) and a few large ones, aligned and one slot past a
// 64-byte boundary.
TEST_P(NetsortVectorTest, MatchesPortableBitForBit) {
  std::mt19937_64 rng(777);
  std::vector<int64_t> sizes;
  for (int64_t n = 0; n <= 2100; ++n) sizes.push_back(n);
  for (int64_t n : {4096, 8192, 10000, 65537}) sizes.push_back(n);
  for (int64_t n : sizes) {
    for (VectorKind kind : {kIntRandom, kIntDuplicates, kIntExtremes,
                            kFloatSpecial, kFloatNormal}) {
      SCOPED_TRACE(testing::Message() << "kind=" << kind);
      const auto in = MakeVectorInput(kind, n, rng);
      CompareForms(GetParam(), kind, in, 1);
      if (kind == kIntRandom || kind == kFloatSpecial)
        CompareForms(GetParam(), kind, in, 0);
      if (HasFatalFailure()) return;
    }
  }
}

// Inputs with structure that random keys lack, at the sizes that pick each
// rule of either form's size dispatch. AVX2: the fixed networks (8, 16, 32,
// 64), the split at 64 (65, 80), the one-and-a-half split (96, 192, 384), the
// three-quarter split (513, 896) and the power-of-two split (897, 1023).
// AVX-512: the register networks (8, 9, 16, 32, 64, 65, 128), the split below
// a power of two (129, 255, 1023, 2049) and the mergers across 2, 4, 8 and 16
// rows (from 256 on; 4096 runs two of them in a row).
TEST_P(NetsortVectorTest, EachSizeRuleSorts) {
  std::mt19937_64 rng(99);
  for (int64_t n : {8,   9,   16,  32,  64,  65,  80,   96,   128,  129, 192,
                    255, 256, 384, 513, 896, 897, 1023, 2048, 2049, 4096}) {
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
      CheckSort<Int64Keys>(GetParam().ints, in, n % 4);
      CheckSort<Float64Keys>(GetParam().floats, in, 1);
      if (HasFatalFailure()) return;
    }
  }
}

}  // namespace
