// Internal interface of the exhaustive sink search, shared by the module and
// its native tests. Nothing here is visible outside the extension.
#ifndef VELDRA_EXHAUSTIVE_KERNEL_H_
#define VELDRA_EXHAUSTIVE_KERNEL_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "hwy/contrib/thread_pool/thread_pool.h"

namespace veldra {

// Room for the packed system: d is at most 30, so m = p + 1 <= 30 < 32.
constexpr int32_t kMaxVars = 32;

int32_t popcount(int32_t mask);

// Value of placing `target` after the variables in `parents`: the mean squared
// difference between its sorted standardised residuals and `reference`.
// NaN when the regression cannot be solved or n == 0. Throws std::bad_alloc
// only when the residual vector cannot be allocated.
double score(const double* X, const double* gram, const double* reference,
             int32_t n, int32_t d, int32_t target, int32_t parents);

// Fills the packed lower triangle of the (p + 1)-variable system (parents in
// ascending order, then the target) and returns p.
int32_t build_system(const double* gram, int32_t d, int32_t target,
                     int32_t parents, double* packed, int32_t* parent_index);

// Packed Cholesky in place; returns L(p,p)^2 (the residual sum of squares) or
// NaN when a pivot is <= 0.
double cholesky(double* packed, int32_t p);

void solve_coefficients(const double* packed, int32_t p, double* beta);

void compute_residuals(const double* X, int32_t n, int32_t d, int32_t target,
                       int32_t parents, const double* beta, double* residuals);

// Sum over i < n of (a[i] - b[i])^2, dispatched to the best SIMD target.
double sum_squared_differences(const double* a, const double* b, int32_t n);

// Ascending in-place sort of the residuals (totalOrder).
void sort_values(double* values, size_t n);

// Computes best_score[mask] and best_sink[mask] from the level below.
void process_mask(const double* X, const double* gram, const double* reference,
                  float* best_score, int32_t* best_sink, int32_t mask,
                  int32_t n, int32_t d);

// The call's operands, shared by every task of the sweep.
struct sweep_operands {
  const double* X;
  const double* gram;
  const double* reference;
  float* best_score;
  int32_t* best_sink;
  const int32_t* masks_by_level;
  int32_t n;
  int32_t d;
};

// Counting sort of the non-empty masks of d variables by number of members:
// level k ends up at masks_by_level[level_offsets[k] .. level_offsets[k+1]),
// its masks ascending. level_offsets and level_counts must start zeroed.
void group_masks_by_level(int32_t d, int32_t* masks_by_level,
                          int32_t* level_offsets, int32_t* level_counts,
                          int32_t* level_cursor);

// Threads working on a level, the calling one included: n_threads when
// positive, else the CPUs the calling thread may run on.
size_t thread_count(size_t n_threads);

// A level of `level_size` masks runs on `workers` threads as
// min(level_size, 4 * workers) tasks of level_task_chunk() masks each.
inline uint64_t level_task_count(uint64_t level_size, uint64_t workers) {
  return std::min(level_size, 4 * workers);
}
inline uint64_t level_task_chunk(uint64_t level_size, uint64_t tasks) {
  return (level_size + tasks - 1) / tasks;
}
// Positions [*first, *last) of the level handled by `task`; empty once
// task * chunk reaches the end of the level.
inline void level_task_range(uint64_t task, uint64_t chunk, uint64_t level_size,
                             uint64_t* first, uint64_t* last) {
  *first = std::min(level_size, task * chunk);
  *last = std::min(level_size, (task + 1) * chunk);
}

// Runs levels 1..d in order, each level with at least two masks on `pool`
// when there is one (null: everything on the calling thread). Every mask gets
// process_mask's computation, so the result does not depend on the pool.
// Returns false, leaving the tables incomplete, when a residual vector could
// not be allocated.
bool sweep_levels(const sweep_operands& ops, const int32_t* level_offsets,
                  hwy::ThreadPool* pool);

}  // namespace veldra

#endif  // VELDRA_EXHAUSTIVE_KERNEL_H_
