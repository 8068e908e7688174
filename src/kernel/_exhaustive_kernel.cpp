// The exhaustive dynamic programme over all subsets of d variables: for every
// subset, the member best placed last (its sink) and the best total score of
// the subset. Shared by both extension modules and the native tests.
#include "_exhaustive_kernel.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "_hwy_compat.h"
#include "hwy/aligned_allocator.h"
#include "hwy/targets.h"

namespace veldra {

int32_t popcount(int32_t mask) {
  int32_t bits = 0;
  while (mask != 0) {
    bits += mask & 1;
    mask >>= 1;
  }
  return bits;
}

namespace {

// Start of row a of a packed lower triangle.
inline int32_t packed_row(int32_t a) { return a * (a + 1) / 2; }

}  // namespace

int32_t build_system(const double* gram, int32_t d, int32_t target,
                     int32_t parents, double* packed, int32_t* parent_index) {
  int32_t p = 0;
  for (int32_t j = 0; j < d; ++j) {
    if (((parents >> j) & 1) == 0) continue;
    double* row = packed + packed_row(p);
    for (int32_t b = 0; b < p; ++b) row[b] = gram[j * d + parent_index[b]];
    row[p] = gram[j * d + j];
    parent_index[p] = j;
    ++p;
  }
  double* row = packed + packed_row(p);
  for (int32_t b = 0; b < p; ++b) row[b] = gram[target * d + parent_index[b]];
  row[p] = gram[target * d + target];
  return p;
}

double cholesky(double* packed, int32_t p) {
  for (int32_t i = 0; i <= p; ++i) {
    double* row_i = packed + packed_row(i);
    if (i >= 1) {
      row_i[0] = row_i[0] / packed[0];
      for (int32_t j = 1; j < i; ++j) {
        const double* row_j = packed + packed_row(j);
        for (int32_t k = 0; k < j; ++k) {
          row_i[j] = row_i[j] - row_j[k] * row_i[k];
        }
        row_i[j] = row_i[j] / row_j[j];
      }
      for (int32_t k = 0; k < i; ++k) {
        row_i[i] = row_i[i] - row_i[k] * row_i[k];
      }
    }
    // A NaN pivot is not <= 0: it carries on and poisons the result.
    if (row_i[i] <= 0.0) return std::numeric_limits<double>::quiet_NaN();
    row_i[i] = std::sqrt(row_i[i]);
  }
  const double last = packed[packed_row(p) + p];
  return last * last;
}

void solve_coefficients(const double* packed, int32_t p, double* beta) {
  if (p <= 0) return;
  const double* row_p = packed + packed_row(p);
  for (int32_t c = 0; c < p; ++c) beta[c] = row_p[c];
  for (int32_t c = p - 1; c >= 0; --c) {
    double value = beta[c];
    for (int32_t i = c + 1; i < p; ++i) {
      value = value - packed[packed_row(i) + c] * beta[i];
    }
    beta[c] = value / packed[packed_row(c) + c];
  }
}

void compute_residuals(const double* X, int32_t n, int32_t d, int32_t target,
                       int32_t parents, const double* beta, double* residuals) {
  for (int32_t s = 0; s < n; ++s) {
    const double* row = X + static_cast<size_t>(s) * static_cast<size_t>(d);
    double r = row[target];
    int32_t k = 0;
    for (int32_t j = 0; j < d; ++j) {
      if (((parents >> j) & 1) == 0) continue;
      const double term = row[j] * beta[k];
      r = r - term;
      ++k;
    }
    residuals[s] = r;
  }
}

double score(const double* X, const double* gram, const double* reference,
             int32_t n, int32_t d, int32_t target, int32_t parents) {
  std::vector<double> residuals(static_cast<size_t>(n));
  double packed[kMaxVars * (kMaxVars + 1) / 2];
  int32_t parent_index[kMaxVars];
  double beta[kMaxVars];

  const int32_t p =
      build_system(gram, d, target, parents, packed, parent_index);
  const double rss = cholesky(packed, p);
  if (std::isnan(rss)) return rss;
  solve_coefficients(packed, p, beta);
  compute_residuals(X, n, d, target, parents, beta, residuals.data());

  // rss comes from the factorisation, not from the residuals.
  const double scale = std::sqrt(rss / n);
  for (double& r : residuals) r = r / scale;
  sort_values(residuals.data(), residuals.size());
  return sum_squared_differences(residuals.data(), reference, n) / n;
}

void copy_columns(const double* X, int32_t n, int32_t d, double* columns) {
  const size_t rows = static_cast<size_t>(n);
  for (size_t s = 0; s < rows; ++s) {
    for (int32_t j = 0; j < d; ++j) {
      columns[static_cast<size_t>(j) * rows + s] =
          X[s * static_cast<size_t>(d) + static_cast<size_t>(j)];
    }
  }
}

size_t residual_stride(int32_t n) {
  constexpr size_t kLine = 64 / sizeof(double);
  constexpr size_t kPage = 4096 / sizeof(double);
  return (static_cast<size_t>(n) + kLine - 1) / kLine * kLine + kPage;
}

double sweep_score(const sweep_operands& ops, int32_t target, int32_t parents,
                   double* residuals) {
  double packed[kMaxVars * (kMaxVars + 1) / 2];
  int32_t parent_index[kMaxVars];
  double beta[kMaxVars];

  const int32_t p =
      build_system(ops.gram, ops.d, target, parents, packed, parent_index);
  const double rss = cholesky(packed, p);
  if (std::isnan(rss)) return rss;
  solve_coefficients(packed, p, beta);
  const int32_t n = ops.n;
  const double scale = std::sqrt(rss / n);
  scaled_residuals(ops.X_columns, n, target, parent_index, p, beta, scale,
                   residuals);
  sort_values(residuals, static_cast<size_t>(n), ops.targets);
  return sum_squared_differences(residuals, ops.reference, n) / n;
}

void process_mask(const sweep_operands& ops, int32_t mask, double* residuals) {
  float best = -std::numeric_limits<float>::infinity();
  int32_t sink = -1;
  for (int32_t i = 0; (mask >> i) != 0; ++i) {
    if (((mask >> i) & 1) == 0) continue;
    const int32_t rest = mask & ~(int32_t{1} << i);
    const float value =
        static_cast<float>(sweep_score(ops, i, rest, residuals)) +
        ops.best_score[rest];
    // Strict: ties keep the lower index, and NaN never wins.
    if (value > best) {
      best = value;
      sink = i;
    }
  }
  ops.best_score[mask] = best;
  ops.best_sink[mask] = sink;
}

void group_masks_by_level(int32_t d, int32_t* masks_by_level,
                          int32_t* level_offsets, int32_t* level_counts,
                          int32_t* level_cursor) {
  const int32_t count = int32_t{1} << d;
  for (int32_t m = 1; m < count; ++m) ++level_counts[popcount(m)];
  for (int32_t k = 1; k <= d; ++k) {
    level_offsets[k + 1] = level_offsets[k] + level_counts[k];
  }
  std::memcpy(level_cursor, level_offsets,
              sizeof(int32_t) * static_cast<size_t>(d + 2));
  for (int32_t m = 1; m < count; ++m) {
    masks_by_level[level_cursor[popcount(m)]++] = m;
  }
}

size_t thread_count(size_t n_threads) {
  if (n_threads > 0) return n_threads;
  size_t cpus;
  if (thread_affinity_cpu_count(&cpus)) return cpus;
  // An unknown processor count (0) runs on the calling thread alone.
  return std::thread::hardware_concurrency();
}

namespace {

// Cuts the level at positions [start, end) into contiguous chunks, one per
// task, and returns when every task has finished.
void run_level_on_pool(hwy::ThreadPool& pool, const sweep_operands& ops,
                       int32_t start, int32_t end) {
  const uint64_t level_size = static_cast<uint64_t>(end - start);
  const uint64_t tasks = level_task_count(level_size, pool.NumWorkers());
  const uint64_t chunk = level_task_chunk(level_size, tasks);
  pool.Run(0, tasks, [&](uint64_t task, size_t thread) {
    // `thread` is the one running the task, below NumWorkers(): its buffer
    // is its own.
    double* residuals = ops.residuals + thread * ops.residual_stride;
    uint64_t first, last;
    level_task_range(task, chunk, level_size, &first, &last);
    for (uint64_t i = first; i < last; ++i) {
      process_mask(ops, ops.masks_by_level[start + static_cast<int32_t>(i)],
                   residuals);
    }
  });
}

}  // namespace

void sweep_levels(const sweep_operands& ops, const int32_t* level_offsets,
                  hwy::ThreadPool* pool) {
  for (int32_t k = 1; k <= ops.d; ++k) {
    const int32_t start = level_offsets[k];
    const int32_t end = level_offsets[k + 1];
    if (pool != nullptr && end - start >= 2) {
      run_level_on_pool(*pool, ops, start, end);
      continue;
    }
    for (int32_t pos = start; pos < end; ++pos) {
      process_mask(ops, ops.masks_by_level[pos], ops.residuals);
    }
  }
}

}  // namespace veldra
