// The search one level at a time, over any range of a level's positions, so
// that the caller can watch, stop and save it between ranges. Totals are kept
// by rank: two levels take C(d, k - 1) + C(d, k) values, not 2^d.
#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <limits>

#include "_exhaustive_kernel.h"

namespace veldra {

namespace {

using binomial_table =
    std::array<std::array<uint64_t, kMaxVars + 1>, kMaxVars + 1>;

constexpr binomial_table make_binomials() {
  binomial_table c{};
  for (int32_t n = 0; n <= kMaxVars; ++n) {
    c[n][0] = 1;
    for (int32_t k = 1; k <= n; ++k) c[n][k] = c[n - 1][k - 1] + c[n - 1][k];
  }
  return c;
}

constexpr binomial_table kBinomials = make_binomials();

}  // namespace

uint64_t binomial(int32_t n, int32_t k) {
  if (k < 0 || k > n) return 0;
  return kBinomials[n][k];
}

uint64_t mask_rank(int32_t mask) {
  // Colexicographic rank: the i-th member (from 0) at bit b adds C(b, i + 1),
  // the masks of as many members below `mask` whose highest differing bit is
  // b. Ascending masks of one level are in exactly this order.
  uint64_t rank = 0;
  int32_t i = 0;
  for (int32_t rest = mask; rest != 0; rest &= rest - 1, ++i) {
    rank += kBinomials[__builtin_ctz(static_cast<uint32_t>(rest))][i + 1];
  }
  return rank;
}

int32_t mask_at_rank(int32_t members, uint64_t rank) {
  int32_t mask = 0;
  for (int32_t i = members; i >= 1; --i) {
    // The highest bit b with C(b, i) <= rank holds the i-th member.
    int32_t b = i - 1;
    while (b + 1 < kMaxVars && kBinomials[b + 1][i] <= rank) ++b;
    rank -= kBinomials[b][i];
    mask |= int32_t{1} << b;
  }
  return mask;
}

void successors_of(const int32_t* predecessors, int32_t d,
                   int32_t* successors) {
  for (int32_t i = 0; i < d; ++i) successors[i] = 0;
  for (int32_t j = 0; j < d; ++j) {
    for (int32_t i = 0; i < d; ++i) {
      if ((predecessors[j] >> i) & 1) successors[i] |= int32_t{1} << j;
    }
  }
}

namespace {

// process_mask on rank-indexed totals: the same candidates in the same order
// and the same arithmetic, so the same bits, but only the candidates that may
// come last; a mask no allowed order starts with gets -inf and sink -1.
// Returns the scores computed.
uint32_t best_of_mask(const sweep_operands& ops, const level_tables& t,
                      int32_t mask, double* residuals, float* best_total,
                      int32_t* best_sink) {
  float best = -std::numeric_limits<float>::infinity();
  int32_t sink = -1;
  uint32_t evaluations = 0;
  if (is_allowed_prefix(t.predecessors, mask)) {
    // The rank of mask without its j-th member: the members before it keep
    // their terms, those after it move down one place.
    uint64_t shifted = 0;
    int32_t i = 0;
    for (int32_t rest = mask; rest != 0; rest &= rest - 1, ++i) {
      shifted += kBinomials[__builtin_ctz(static_cast<uint32_t>(rest))][i];
    }
    uint64_t kept = 0, shifted_so_far = 0;
    i = 0;
    for (int32_t rest = mask; rest != 0; rest &= rest - 1, ++i) {
      const int32_t bit = __builtin_ctz(static_cast<uint32_t>(rest));
      shifted_so_far += kBinomials[bit][i];
      const uint64_t rest_rank = kept + (shifted - shifted_so_far);
      kept += kBinomials[bit][i + 1];
      if (t.successors != nullptr && (t.successors[bit] & mask) != 0) continue;
      const int32_t parents = mask & ~(int32_t{1} << bit);
      const float value =
          static_cast<float>(sweep_score(ops, bit, parents, residuals)) +
          t.below[rest_rank];
      ++evaluations;
      // Strict: ties keep the lower index, and NaN never wins.
      if (value > best) {
        best = value;
        sink = bit;
      }
    }
  }
  *best_total = best;
  *best_sink = sink;
  return evaluations;
}

// kChunk: the tables hold positions from t.first_rank on, sinks by rank too.
// A template, so that the whole-table sweep's loop has no test in it.
template <bool kChunk>
uint64_t sweep_positions(const sweep_operands& ops, const level_tables& t,
                         int32_t members, uint64_t first, uint64_t last,
                         double* residuals) {
  uint64_t evaluations = 0;
  if (first >= last) return 0;
  int32_t mask = mask_at_rank(members, first);
  for (uint64_t rank = first;; mask = next_mask(mask)) {
    float best;
    int32_t sink;
    evaluations += best_of_mask(ops, t, mask, residuals, &best, &sink);
    const uint64_t at = kChunk ? rank - t.first_rank : rank;
    t.scores[at] = best;
    t.sinks[kChunk ? at : static_cast<uint64_t>(mask)] =
        static_cast<int8_t>(sink);
    if (++rank == last) break;
  }
  return evaluations;
}

uint64_t sweep_positions(const sweep_operands& ops, const level_tables& t,
                         int32_t members, uint64_t first, uint64_t last,
                         double* residuals) {
  return t.chunk
             ? sweep_positions<true>(ops, t, members, first, last, residuals)
             : sweep_positions<false>(ops, t, members, first, last, residuals);
}

}  // namespace

uint64_t sweep_level_range(const sweep_operands& ops, const level_tables& t,
                           int32_t members, uint64_t first, uint64_t last,
                           hwy::ThreadPool* pool) {
  const uint64_t size = last > first ? last - first : 0;
  if (pool == nullptr || size < 2) {
    return sweep_positions(ops, t, members, first, last, ops.residuals);
  }
  const uint64_t tasks = level_task_count(size, pool->NumWorkers());
  const uint64_t chunk = level_task_chunk(size, tasks);
  std::atomic<uint64_t> evaluations{0};
  pool->Run(0, tasks, [&](uint64_t task, size_t thread) {
    uint64_t begin, end;
    level_task_range(task, chunk, size, &begin, &end);
    const uint64_t done =
        sweep_positions(ops, t, members, first + begin, first + end,
                        ops.residuals + thread * ops.residual_stride);
    evaluations.fetch_add(done, std::memory_order_relaxed);
  });
  return evaluations.load();
}

void place_sinks(int32_t members, uint64_t first, uint64_t count,
                 const int8_t* by_rank, int8_t* sinks) {
  if (count == 0) return;
  int32_t mask = mask_at_rank(members, first);
  for (uint64_t i = 0;; mask = next_mask(mask)) {
    sinks[mask] = by_rank[i];
    if (++i == count) break;
  }
}

void count_evaluations(int32_t d, const int32_t* predecessors,
                       const int32_t* successors, uint64_t* evaluations) {
  std::fill(evaluations, evaluations + d + 1, uint64_t{0});
  const int32_t count = int32_t{1} << d;
  for (int32_t mask = 1; mask < count; ++mask) {
    if (!is_allowed_prefix(predecessors, mask)) continue;
    uint64_t candidates = 0;
    for (int32_t rest = mask; rest != 0; rest &= rest - 1) {
      const int32_t bit = __builtin_ctz(static_cast<uint32_t>(rest));
      if (successors == nullptr || (successors[bit] & mask) == 0) ++candidates;
    }
    evaluations[popcount(mask)] += candidates;
  }
}

}  // namespace veldra
