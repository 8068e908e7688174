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

// Ascending in-place sort of the residuals (totalOrder). The first form asks
// for the processor's targets itself; the second is given what
// hwy::SupportedTargets() returned.
void sort_values(double* values, size_t n);
void sort_values(double* values, size_t n, int64_t targets);

// The search's operands, shared by every task of the sweep.
struct sweep_operands {
  const double* X_columns;  // column j of X at X_columns + j * n
  const double* gram;
  const double* reference;
  float* best_score;
  int32_t* best_sink;
  const int32_t* masks_by_level;
  int32_t n;
  int32_t d;
  int64_t targets;         // hwy::SupportedTargets(), asked once per search
  double* residuals;       // scratch of residual_stride values per thread
  size_t residual_stride;  // at least n
};

// X (n x d, row-major) copied column by column into `columns`.
void copy_columns(const double* X, int32_t n, int32_t d, double* columns);

// Scratch values per thread for n samples: n rounded up to a whole number of
// 64-byte lines, then a page more. Buffers on lines of their own were not
// enough: the prefetchers, which stop at page boundaries, read past the end of
// one thread's buffer into the next one's lines, so that two threads of one
// search ran up to 15 % slower than two searches side by side.
size_t residual_stride(int32_t n);

// The target's residuals over the compact parent list, each divided by
// `scale`: per sample the operations of compute_residuals in the same order,
// then the division, so the same bits.
void scaled_residuals(const double* X_columns, int32_t n, int32_t target,
                      const int32_t* parent_index, int32_t p,
                      const double* beta, double scale, double* residuals);

// score() as the sweep computes it, from the operands, into the caller's
// residual buffer; allocates nothing. Bit-identical to score().
double sweep_score(const sweep_operands& ops, int32_t target, int32_t parents,
                   double* residuals);

// Computes best_score[mask] and best_sink[mask] from the level below, with
// `residuals` as scratch.
void process_mask(const sweep_operands& ops, int32_t mask, double* residuals);

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
// min(level_size, kTasksPerWorker * workers) tasks of level_task_chunk()
// masks each. Small tasks keep a thread that lost its core to another
// process from holding up the level's end: the others take its share.
constexpr uint64_t kTasksPerWorker = 128;
inline uint64_t level_task_count(uint64_t level_size, uint64_t workers) {
  return std::min(level_size, kTasksPerWorker * workers);
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
// when there is one (null: everything on the calling thread, which then uses
// the first residual buffer; pool thread w uses buffer w). Every mask gets
// process_mask's computation, so the result does not depend on the pool.
void sweep_levels(const sweep_operands& ops, const int32_t* level_offsets,
                  hwy::ThreadPool* pool);

// The level-by-level engine: one level's masks by position, with the totals
// of a level stored by rank (a mask's position among the masks of its level,
// ascending) instead of by mask, so that only two levels are held at once.

// The number of k-member subsets of n variables (n <= kMaxVars); 0 when k < 0
// or k > n.
uint64_t binomial(int32_t n, int32_t k);

// Position of `mask` among the masks with as many members, ascending.
uint64_t mask_rank(int32_t mask);

// The mask with `members` members at position `rank` (mask_rank's inverse).
int32_t mask_at_rank(int32_t members, uint64_t rank);

// The next larger mask with as many members.
inline int32_t next_mask(int32_t mask) {
  const uint32_t m = static_cast<uint32_t>(mask);
  const uint32_t low = m & (~m + 1);
  const uint32_t ripple = m + low;
  return static_cast<int32_t>((((ripple ^ m) >> 2) / low) | ripple);
}

// What one level reads and writes. `predecessors[j]` holds the variables that
// must come before j and `successors[j]` those that must come after it; both
// null when the order is free.
// A chunk of a level computed elsewhere (on another machine) sets `chunk`
// and `first_rank`, the rank of its first mask: scores and sinks then hold
// only the chunk's positions, both by rank - first_rank.
struct level_tables {
  const float* below;  // best totals of the level below, by rank
  float* scores;       // best totals of this level, by rank
  int8_t* sinks;       // best sink of every mask, by mask
  const int32_t* predecessors;
  const int32_t* successors;
  bool chunk = false;
  uint64_t first_rank = 0;
};

// Whether some allowed order starts with the variables in `mask`.
inline bool is_allowed_prefix(const int32_t* predecessors, int32_t mask) {
  if (predecessors == nullptr) return true;
  for (int32_t rest = mask; rest != 0; rest &= rest - 1) {
    const int32_t j = __builtin_ctz(static_cast<uint32_t>(rest));
    if ((predecessors[j] & ~mask) != 0) return false;
  }
  return true;
}

// successors[i] from predecessors (d entries each).
void successors_of(const int32_t* predecessors, int32_t d, int32_t* successors);

// Positions [first, last) of the level of `members`-member masks, on `pool`
// when there is one and the range holds at least two masks (then split as a
// level is, pool thread w using residual buffer w). Returns the scores
// computed.
uint64_t sweep_level_range(const sweep_operands& ops, const level_tables& t,
                           int32_t members, uint64_t first, uint64_t last,
                           hwy::ThreadPool* pool);

// Writes the sinks of positions [first, first + count) of the level of
// `members`-member masks, given by rank, into `sinks` by mask.
void place_sinks(int32_t members, uint64_t first, uint64_t count,
                 const int8_t* by_rank, int8_t* sinks);

// The instruction set sum_squared_differences() dispatches to, by Highway's
// name ("AVX2", "AVX3", ...): the last bits of a score depend on it.
const char* score_instruction_set();

// evaluations[k] for k = 0..d: the scores level k computes under the
// constraints (predecessors and successors as in level_tables).
void count_evaluations(int32_t d, const int32_t* predecessors,
                       const int32_t* successors, uint64_t* evaluations);

}  // namespace veldra

#endif  // VELDRA_EXHAUSTIVE_KERNEL_H_
