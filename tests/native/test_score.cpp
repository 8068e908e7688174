// The targets the vector code is compiled for.
#include "_instruction_sets.h"
#define HWY_TARGETS VELDRA_DISPATCH_TARGETS

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "_exhaustive_kernel.h"
#include "gtest/gtest.h"
#include "hwy/targets.h"
#include "sweep_problem.h"

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

// The residual loop on every target the processor has, against the scalar
// operations it must repeat (each product rounded, then subtracted, then a
// true division), for counts on both sides of every vector width and the
// search's parent counts. Values of scattered magnitude make a fused
// multiply-subtract or a reciprocal show in the last bits. The output starts
// off a vector boundary and must end at n; the target's column ends the
// input, so that AddressSanitizer reports a read past it.
TEST(ScaledResiduals, EveryTargetGivesTheScalarBits) {
  constexpr int32_t kVars = 30;
  constexpr int32_t kTarget = kVars - 1;
  constexpr double kScale = 0.7;
  constexpr double kSentinel = -1234.5;
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> mantissa(-1.0, 1.0);
  std::uniform_int_distribution<int> exponent(-30, 30);
  std::vector<double> values(static_cast<size_t>(kVars) * 1001);
  for (double& v : values) v = std::ldexp(mantissa(rng), exponent(rng));
  double beta[kVars];
  int32_t parent_index[kVars];
  for (int32_t k = 0; k < kVars; ++k) {
    beta[k] = std::ldexp(mantissa(rng), exponent(rng));
    parent_index[k] = 11 * k % kTarget;  // each other variable once
  }
  int tested = 0;
  for (int64_t rest = hwy::SupportedTargets() & VELDRA_DISPATCH_TARGETS;
       rest != 0; rest &= rest - 1) {
    const int64_t target = rest & -rest;
    hwy::SetSupportedTargetsForTest(target);
    ASSERT_STREQ(veldra::residuals_instruction_set(), hwy::TargetName(target));
    for (int32_t n : {0, 1, 3, 5, 7, 9, 15, 17, 31, 33, 1000, 1001}) {
      for (int32_t p : {0, 1, 5, 29}) {
        SCOPED_TRACE(testing::Message()
                     << hwy::TargetName(target) << " n=" << n << " p=" << p);
        const std::vector<double> input(values.begin(),
                                        values.begin() + kVars * n);
        const double* columns = input.data();
        std::vector<double> want(n);
        for (int32_t s = 0; s < n; ++s) {
          double r = columns[kTarget * n + s];
          for (int32_t k = 0; k < p; ++k) {
            const double term = columns[parent_index[k] * n + s] * beta[k];
            r = r - term;
          }
          want[s] = r / kScale;
        }
        std::vector<double> out(n + 9, kSentinel);
        veldra::scaled_residuals(columns, n, kTarget, parent_index, p, beta,
                                 kScale, out.data() + 1);
        int32_t first_difference = -1;
        for (int32_t s = 0; s < n && first_difference < 0; ++s) {
          if (std::memcmp(&out[s + 1], &want[s], sizeof(double)) != 0) {
            first_difference = s;
          }
        }
        EXPECT_EQ(first_difference, -1);
        EXPECT_EQ(out[0], kSentinel);
        EXPECT_EQ(std::vector<double>(out.begin() + 1 + n, out.end()),
                  std::vector<double>(8, kSentinel));
      }
    }
    ++tested;
  }
  hwy::SetSupportedTargetsForTest(0);
  EXPECT_GE(tested, 1);
}

// Scores with the sort forced onto the portable network, by hiding AVX2 from
// the targets that netsort_float64 is told about.
// The sweep's score (columns, a reused buffer, the targets asked once) must
// leave the bits of score() for every candidate, with every sort form the
// processor can run, and the whole search must then give the same tables.
// The sum of squared differences is dispatched as usual: forms are chosen
// through the targets handed to the sweep, not by hiding them from Highway.
TEST(SweepScore, EverySortFormGivesTheBitsOfScore) {
  const int64_t supported = hwy::SupportedTargets();
  std::vector<int64_t> forms = {0};  // no vector form: the portable network
  if (supported & HWY_AVX2) forms.push_back(HWY_AVX2);
  if (supported & HWY_AVX3) forms.push_back(HWY_AVX3 | HWY_AVX2);
  // 7 has no full block of samples, 97 ends in a partial one and goes
  // through the AVX2 stack buffer, 1000 takes the three-quarter split.
  for (int32_t n : {7, 97, 1000}) {
    sweep_problem p = make_sweep_problem(n, 5, 0.7, n);
    const int32_t count = int32_t{1} << p.d;
    std::vector<double> want;
    for (int32_t target = 0; target < p.d; ++target) {
      for (int32_t parents = 0; parents < count; ++parents) {
        if ((parents >> target) & 1) continue;
        want.push_back(veldra::score(p.X.data(), p.gram.data(),
                                     p.reference.data(), n, p.d, target,
                                     parents));
      }
    }
    std::vector<float> first_score;
    std::vector<int32_t> first_sink;
    for (int64_t targets : forms) {
      SCOPED_TRACE(testing::Message() << "n=" << n << " targets=" << targets);
      const veldra::sweep_operands ops = sweep_operands_for(p, targets, 1);
      std::vector<double> got;
      for (int32_t target = 0; target < p.d; ++target) {
        for (int32_t parents = 0; parents < count; ++parents) {
          if ((parents >> target) & 1) continue;
          got.push_back(
              veldra::sweep_score(ops, target, parents, ops.residuals));
        }
      }
      ASSERT_EQ(got.size(), want.size());
      EXPECT_EQ(0, std::memcmp(got.data(), want.data(),
                               sizeof(double) * want.size()));
      veldra::sweep_levels(ops, p.offsets.data(), nullptr);
      EXPECT_NE(p.best_sink[count - 1], -1);
      if (first_sink.empty()) {
        first_score = p.best_score;
        first_sink = p.best_sink;
      }
      EXPECT_EQ(p.best_sink, first_sink);
      EXPECT_EQ(0, std::memcmp(p.best_score.data(), first_score.data(),
                               sizeof(float) * count));
    }
  }
}

TEST(Popcount, CountsMembers) {
  EXPECT_EQ(veldra::popcount(0), 0);
  EXPECT_EQ(veldra::popcount(0b1011), 3);
  EXPECT_EQ(veldra::popcount((1 << 30) - 1), 30);
}

}  // namespace
