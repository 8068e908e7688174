// Sorting-network tests: every length to past 1024 against std::sort, memory
// guards, special float patterns, and the 0-1 principle for small n.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "_exhaustive_kernel.h"
#include "_netsort.h"

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
  for (void (*sort)(double*, int64_t) :
       {netsort_float64, netsort_float64_portable, SortValues}) {
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
  for (void (*sort)(double*, int64_t) :
       {netsort_float64, netsort_float64_portable, SortValues}) {
    sort(nullptr, 0);  // Must not read or write.
    const std::vector<uint64_t> in = {kMax, 0xFFF8000000000000, 0};
    auto d = Recast<double>(in);
    for (int64_t n : {0, -1, -100}) sort(d.data(), n);
    sort(d.data() + 1, 1);  // The NaN's payload must survive the key passes.
    EXPECT_EQ(Recast<uint64_t>(d), in);
  }
  std::vector<int64_t> w = {5, 4, 3};
  for (int64_t n : {1, 0, -3}) netsort_int64_portable(w.data(), n);
  EXPECT_EQ(w, (std::vector<int64_t>{5, 4, 3}));
}

// A comparator network sorts everything iff it sorts every 0/1 input. The
// float entry runs to a smaller n: its per-call target query is not free.
TEST(NetsortTest, AllZeroOneInputs) {
  int64_t ints[20];
  double reals[20];
  for (int n = 2; n <= 20; ++n) {
    for (uint32_t bits = 0; bits < (1u << n); ++bits) {
      for (int i = 0; i < n; ++i) reals[i] = ints[i] = (bits >> i) & 1;
      netsort_int64_portable(ints, n);
      if (n <= 12) netsort_float64(reals, n);
      bool ok = true;
      for (int i = 0, zeros = n - __builtin_popcount(bits); i < n; ++i)
        ok &= ints[i] == (i >= zeros) && (n > 12 || reals[i] == (i >= zeros));
      ASSERT_TRUE(ok) << "n=" << n << " input bits=" << bits;
    }
  }
}

}  // namespace
