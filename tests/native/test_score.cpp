// The targets the sum of squared differences is compiled for.
#define HWY_TARGETS                                                      \
  (HWY_SSE2 | HWY_SSSE3 | HWY_SSE4 | HWY_AVX2 | HWY_AVX3 | HWY_AVX3_DL | \
   HWY_AVX3_ZEN4 | HWY_AVX3_SPR)

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "_exhaustive_kernel.h"
#include "gtest/gtest.h"
#include "hwy/targets.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(PackedLeastSquares, OneParentWorkedExample) {
  const double gram[4] = {4, 2, 2, 2};
  double packed[3];
  int32_t parent_index[2];
  const int32_t p =
      veldra::build_system(gram, 2, 1, 0b01, packed, parent_index);
  ASSERT_EQ(p, 1);
  EXPECT_EQ(parent_index[0], 0);
  EXPECT_EQ(packed[0], 4.0);  // (parent, parent)
  EXPECT_EQ(packed[1], 2.0);  // (target, parent)
  EXPECT_EQ(packed[2], 2.0);  // (target, target)

  EXPECT_EQ(veldra::cholesky(packed, p), 1.0);
  EXPECT_EQ(packed[0], 2.0);
  EXPECT_EQ(packed[1], 1.0);
  EXPECT_EQ(packed[2], 1.0);
  double beta[1];
  veldra::solve_coefficients(packed, p, beta);
  EXPECT_EQ(beta[0], 0.5);
}

TEST(PackedLeastSquares, ReadsOnlyTheRowOfTheLaterVariable) {
  // Upper triangle poisoned: a read of it would turn the result into NaN.
  const double gram[9] = {5, kNaN, kNaN, 1, 4, kNaN, 2, 1, 6};
  double packed[6];
  int32_t parent_index[2];
  const int32_t p =
      veldra::build_system(gram, 3, 2, 0b011, packed, parent_index);
  ASSERT_EQ(p, 2);
  const double expected[6] = {5, 1, 4, 2, 1, 6};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(packed[i], expected[i]) << i;

  const double rss = veldra::cholesky(packed, p);
  EXPECT_TRUE(std::isfinite(rss));
  EXPECT_GT(rss, 0.0);
  EXPECT_LT(rss, 6.0);  // the parents explain part of the target
}

TEST(PackedLeastSquares, NoParentsIsTheDiagonalThroughItsRoot) {
  const double gram[1] = {2};
  double packed[1];
  int32_t parent_index[1];
  ASSERT_EQ(veldra::build_system(gram, 1, 0, 0, packed, parent_index), 0);
  const double root = std::sqrt(2.0);
  EXPECT_EQ(veldra::cholesky(packed, 0), root * root);
  double beta[1] = {7};
  veldra::solve_coefficients(packed, 0, beta);
  EXPECT_EQ(beta[0], 7.0);  // untouched
}

TEST(PackedLeastSquares, FailedPivotsGiveNaN) {
  // Zero diagonal, an exact duplicate parent, and a NaN entry.
  const double zero[4] = {0, 0, 0, 1};
  const double duplicate[9] = {1, 1, 0, 1, 1, 0, 0, 0, 1};
  const double nan_entry[4] = {4, 2, kNaN, 2};
  double packed[6];
  int32_t parent_index[2];
  int32_t p = veldra::build_system(zero, 2, 0, 0, packed, parent_index);
  EXPECT_TRUE(std::isnan(veldra::cholesky(packed, p)));
  p = veldra::build_system(zero, 2, 1, 0b01, packed, parent_index);
  EXPECT_TRUE(std::isnan(veldra::cholesky(packed, p)));
  p = veldra::build_system(duplicate, 3, 2, 0b011, packed, parent_index);
  EXPECT_TRUE(std::isnan(veldra::cholesky(packed, p)));
  // The NaN sits in the target's row and propagates without a pivot test.
  const double nan_gram[4] = {4, kNaN, 2, 2};
  p = veldra::build_system(nan_gram, 2, 0, 0b10, packed, parent_index);
  EXPECT_TRUE(std::isnan(veldra::cholesky(packed, p)));
  p = veldra::build_system(nan_entry, 2, 1, 0b01, packed, parent_index);
  EXPECT_TRUE(std::isnan(veldra::cholesky(packed, p)));
}

TEST(Score, SingleSampleNoParents) {
  const double X[1] = {-3.0};
  const double gram[1] = {9.0};
  const double reference[1] = {0.25};
  const double s = std::sqrt(9.0 / 1);
  const double expected = (-3.0 / s - 0.25) * (-3.0 / s - 0.25);
  EXPECT_EQ(veldra::score(X, gram, reference, 1, 1, 0, 0), expected);
  EXPECT_TRUE(std::isnan(veldra::score(X, gram, reference, 0, 1, 0, 0)));
}

TEST(Score, WorkedExampleEndToEnd) {
  // Columns (x0, x1) with x1 = 0.5 * x0 + e, gram as in the worked example:
  // [[4, 2], [2, 2]] from x0 = (2, 0, 0, 0), x1 = (1, 1, 0, 0).
  const double X[8] = {2, 1, 0, 1, 0, 0, 0, 0};
  const double gram[4] = {4, 2, 2, 2};
  const double reference[4] = {-1, 0, 0, 1};
  // beta = 0.5, residuals (0, 1, 0, 0), rss = 1, scale sqrt(1 / 4) = 0.5.
  // Sorted standardised residuals (0, 0, 0, 2) against the reference.
  const double expected = (1.0 + 0.0 + 0.0 + 1.0) / 4;
  EXPECT_EQ(veldra::score(X, gram, reference, 4, 2, 1, 0b01), expected);
}

TEST(SumSquaredDifferences, EveryCompiledTargetAgrees) {
  std::mt19937_64 rng(7);
  std::normal_distribution<double> normal;
  std::vector<double> a(67), b(67);
  for (size_t i = 0; i < a.size(); ++i) {
    a[i] = normal(rng);
    b[i] = normal(rng);
  }
  int tested = 0;
  for (int64_t target : hwy::SupportedAndGeneratedTargets()) {
    hwy::SetSupportedTargetsForTest(target);
    for (int32_t n = -1; n <= 67; ++n) {
      double expected = 0.0;
      for (int32_t i = 0; i < n; ++i) expected += (a[i] - b[i]) * (a[i] - b[i]);
      EXPECT_NEAR(veldra::sum_squared_differences(a.data(), b.data(), n),
                  expected, 1e-12 * (1 + expected))
          << hwy::TargetName(target) << " n=" << n;
    }
    ++tested;
  }
  hwy::SetSupportedTargetsForTest(0);
  EXPECT_GE(tested, 1);
}

// Scores with the sort forced onto the portable network, by hiding AVX2 from
// the targets that netsort_float64 is told about.
class PortableSortTest : public testing::Test {
 protected:
  void TearDown() override { hwy::SetSupportedTargetsForTest(0); }
};

// Both sort forms leave the same bits, so every score and every table entry
// of the search must be the same. That holds only if the sum of squared
// differences runs the same code both times: it does when its best target
// is better than AVX2, since hiding the AVX2 bit leaves that choice alone.
TEST_F(PortableSortTest, SearchIsTheSameWithEitherSortForm) {
  const int64_t targets = hwy::SupportedTargets();
  if ((targets & HWY_AVX2) == 0) GTEST_SKIP() << "no AVX2 on this processor";
  if ((targets & HWY_TARGETS & (HWY_AVX2 - 1)) == 0) {
    GTEST_SKIP() << "the sum would drop from AVX2 to a narrower target";
  }
  constexpr int32_t d = 5, count = 1 << d;
  // 97 goes through the stack buffer, 1000 the three-quarter split.
  for (int32_t n : {7, 97, 1000}) {
    std::mt19937_64 rng(n);
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    std::vector<double> X(n * d), gram(d * d, 0.0), reference(n);
    for (double& v : X) v = uniform(rng);
    for (int32_t s = 0; s < n; ++s) {
      for (int32_t j = 1; j < d; ++j) X[s * d + j] += 0.7 * X[s * d + j - 1];
    }
    for (int32_t a = 0; a < d; ++a) {
      for (int32_t b = 0; b < d; ++b) {
        for (int32_t s = 0; s < n; ++s) {
          gram[a * d + b] += X[s * d + a] * X[s * d + b];
        }
      }
    }
    for (int32_t s = 0; s < n; ++s) reference[s] = -2.0 + 4.0 * s / n;
    std::vector<int32_t> masks(count - 1), offsets(d + 2, 0), counts(d + 1, 0),
        cursor(d + 2);
    veldra::group_masks_by_level(d, masks.data(), offsets.data(), counts.data(),
                                 cursor.data());

    // Every candidate sink with every parent set, then the whole search.
    auto run = [&](std::vector<double>* scores, std::vector<float>* best_score,
                   std::vector<int32_t>* best_sink) {
      for (int32_t target = 0; target < d; ++target) {
        for (int32_t parents = 0; parents < count; ++parents) {
          if ((parents >> target) & 1) continue;
          scores->push_back(veldra::score(
              X.data(), gram.data(), reference.data(), n, d, target, parents));
        }
      }
      best_score->assign(count, 0.0f);
      best_sink->assign(count, -1);
      const veldra::sweep_operands ops{X.data(),
                                       gram.data(),
                                       reference.data(),
                                       best_score->data(),
                                       best_sink->data(),
                                       masks.data(),
                                       n,
                                       d};
      ASSERT_TRUE(veldra::sweep_levels(ops, offsets.data(), nullptr));
    };
    std::vector<double> avx2_scores, portable_scores;
    std::vector<float> avx2_best, portable_best;
    std::vector<int32_t> avx2_sinks, portable_sinks;
    hwy::SetSupportedTargetsForTest(0);
    run(&avx2_scores, &avx2_best, &avx2_sinks);
    hwy::SetSupportedTargetsForTest(targets & ~HWY_AVX2);
    run(&portable_scores, &portable_best, &portable_sinks);
    hwy::SetSupportedTargetsForTest(0);

    ASSERT_EQ(avx2_scores.size(), portable_scores.size());
    EXPECT_EQ(0, std::memcmp(avx2_scores.data(), portable_scores.data(),
                             sizeof(double) * avx2_scores.size()))
        << "n=" << n;
    EXPECT_EQ(0, std::memcmp(avx2_best.data(), portable_best.data(),
                             sizeof(float) * count))
        << "n=" << n;
    EXPECT_EQ(avx2_sinks, portable_sinks) << "n=" << n;
    EXPECT_NE(avx2_sinks[count - 1], -1) << "n=" << n;
  }
}

TEST(Popcount, CountsMembers) {
  EXPECT_EQ(veldra::popcount(0), 0);
  EXPECT_EQ(veldra::popcount(0b1011), 3);
  EXPECT_EQ(veldra::popcount((1 << 30) - 1), 30);
}

}  // namespace
