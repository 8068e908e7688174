// A small random linear problem and the operands of a search over it, for
// the score and sweep tests.
#ifndef VELDRA_TESTS_SWEEP_PROBLEM_H_
#define VELDRA_TESTS_SWEEP_PROBLEM_H_

#include <cstdint>
#include <random>
#include <vector>

#include "_exhaustive_kernel.h"

struct sweep_problem {
  int32_t n, d;
  std::vector<double> X, columns, gram, reference, residuals;
  std::vector<int32_t> masks, offsets;
  std::vector<float> best_score;
  std::vector<int32_t> best_sink;
};

// Uniform noise along the order 0, 1, ..., d-1 (each variable plus
// `coupling` times the one before), gram from X, an evenly spaced reference.
inline sweep_problem make_sweep_problem(int32_t n, int32_t d, double coupling,
                                        uint64_t seed) {
  sweep_problem p{n, d, {}, {}, {}, {}, {}, {}, {}, {}, {}};
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  p.X.resize(static_cast<size_t>(n) * d);
  for (double& v : p.X) v = uniform(rng);
  for (int32_t s = 0; s < n; ++s) {
    for (int32_t j = 1; j < d; ++j) {
      p.X[s * d + j] += coupling * p.X[s * d + j - 1];
    }
  }
  p.gram.assign(d * d, 0.0);
  for (int32_t a = 0; a < d; ++a) {
    for (int32_t b = 0; b < d; ++b) {
      for (int32_t s = 0; s < n; ++s) {
        p.gram[a * d + b] += p.X[s * d + a] * p.X[s * d + b];
      }
    }
  }
  p.reference.resize(n);
  for (int32_t s = 0; s < n; ++s) p.reference[s] = -2.0 + 4.0 * s / n;
  p.columns.resize(p.X.size());
  veldra::copy_columns(p.X.data(), n, d, p.columns.data());
  const int32_t count = int32_t{1} << d;
  std::vector<int32_t> counts(d + 1, 0), cursor(d + 2);
  p.masks.resize(count - 1);
  p.offsets.assign(d + 2, 0);
  veldra::group_masks_by_level(d, p.masks.data(), p.offsets.data(),
                               counts.data(), cursor.data());
  return p;
}

// Fresh tables and `threads` residual buffers; the sort form follows
// `targets` as it would follow hwy::SupportedTargets().
inline veldra::sweep_operands sweep_operands_for(sweep_problem& p,
                                                 int64_t targets,
                                                 size_t threads) {
  const int32_t count = int32_t{1} << p.d;
  p.best_score.assign(count, 0.0f);
  p.best_sink.assign(count, -1);
  const size_t stride = veldra::residual_stride(p.n);
  p.residuals.assign(stride * threads + 1, 0.0);
  return {p.columns.data(),
          p.gram.data(),
          p.reference.data(),
          p.best_score.data(),
          p.best_sink.data(),
          p.masks.data(),
          p.n,
          p.d,
          targets,
          p.residuals.data(),
          stride};
}

#endif  // VELDRA_TESTS_SWEEP_PROBLEM_H_
