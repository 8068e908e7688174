#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "_exhaustive_kernel.h"
#include "_thread_pool.h"
#include "gtest/gtest.h"
#include "hwy/targets.h"
#include "sweep_problem.h"

namespace {

TEST(LevelRanks, EveryMaskOfFourteenVariables) {
  const int32_t d = 14;
  std::vector<uint64_t> next_rank(d + 1, 0);
  std::vector<int32_t> last(d + 1, 0);
  for (int32_t mask = 1; mask < (1 << d); ++mask) {
    const int32_t k = veldra::popcount(mask);
    // Ascending masks of a level take ranks 0, 1, 2, ... and next_mask steps
    // from one to the next.
    ASSERT_EQ(veldra::mask_rank(mask), next_rank[k]) << mask;
    ASSERT_EQ(veldra::mask_at_rank(k, next_rank[k]), mask);
    if (last[k] != 0) {
      ASSERT_EQ(veldra::next_mask(last[k]), mask);
    }
    last[k] = mask;
    ++next_rank[k];
  }
  for (int32_t k = 1; k <= d; ++k) {
    EXPECT_EQ(next_rank[k], veldra::binomial(d, k));
  }
}

TEST(LevelRanks, ThirtyVariables) {
  EXPECT_EQ(veldra::binomial(30, 15), 155117520u);
  EXPECT_EQ(veldra::binomial(30, 31), 0u);
  EXPECT_EQ(veldra::binomial(30, -1), 0u);
  const int32_t top = (1 << 30) - (1 << 15);  // the last 15-member mask
  EXPECT_EQ(veldra::mask_rank(top), veldra::binomial(30, 15) - 1);
  EXPECT_EQ(veldra::mask_at_rank(15, veldra::binomial(30, 15) - 1), top);
  EXPECT_EQ(veldra::mask_at_rank(30, 0), (1 << 30) - 1);
}

// Every level in random ranges, on the calling thread or a pool, into the
// tables or as chunks of their own merged afterwards: the sink of every mask
// and the best total are those of the whole-table sweep.
TEST(LevelSweep, RangesGiveTheTablesOfTheWholeSweep) {
  const int64_t targets = hwy::SupportedTargets();
  std::mt19937_64 rng(7);
  for (const int32_t d : {1, 2, 5, 9}) {
    for (const size_t threads : {size_t{1}, size_t{3}}) {
      sweep_problem p = make_sweep_problem(70, d, 0.7, 11 + d);
      veldra::sweep_operands whole = sweep_operands_for(p, targets, threads);
      veldra::sweep_levels(whole, p.offsets.data(), nullptr);
      const std::vector<int32_t> best_sink = p.best_sink;
      const float best_score = p.best_score.back();

      auto pool = threads > 1 ? veldra::make_thread_pool(threads - 1)
                              : hwy::AlignedUniquePtr<hwy::ThreadPool>();
      veldra::sweep_operands ops = sweep_operands_for(p, targets, threads);
      std::vector<int8_t> sinks(size_t{1} << d, -1);
      std::vector<float> below(1, 0.0f), scores;
      uint64_t evaluations = 0;
      for (int32_t k = 1; k <= d; ++k) {
        scores.assign(veldra::binomial(d, k), 0.0f);
        const veldra::level_tables t{below.data(), scores.data(), sinks.data(),
                                     nullptr, nullptr};
        for (uint64_t first = 0; first < scores.size();) {
          const uint64_t last =
              std::min<uint64_t>(scores.size(), first + 1 + rng() % 9);
          if (rng() % 2 == 0) {
            evaluations +=
                veldra::sweep_level_range(ops, t, k, first, last, pool.get());
          } else {
            std::vector<float> chunk_scores(last - first);
            std::vector<int8_t> chunk_sinks(last - first, -2);
            veldra::level_tables chunk{below.data(), chunk_scores.data(),
                                       chunk_sinks.data(), nullptr, nullptr};
            chunk.chunk = true;
            chunk.first_rank = first;
            evaluations += veldra::sweep_level_range(ops, chunk, k, first, last,
                                                     pool.get());
            std::copy(chunk_scores.begin(), chunk_scores.end(),
                      scores.begin() + first);
            veldra::place_sinks(k, first, last - first, chunk_sinks.data(),
                                sinks.data());
          }
          first = last;
        }
        below = scores;
      }
      EXPECT_EQ(evaluations, static_cast<uint64_t>(d) << (d - 1));
      for (int32_t mask = 0; mask < (1 << d); ++mask) {
        ASSERT_EQ(sinks[mask], best_sink[mask]) << d << " " << mask;
      }
      EXPECT_EQ(below[0], best_score) << d;
    }
  }
}

// Four variables, 0 before 1 and 3 last: the allowed prefixes, the sinks each
// may take and the scores each level computes.
TEST(LevelSweep, ConstraintsSkipWhatNoAllowedOrderStartsWith) {
  const int32_t d = 4;
  const int32_t predecessors[4] = {0, 0b0001, 0, 0b0111};
  int32_t successors[4];
  veldra::successors_of(predecessors, d, successors);
  EXPECT_EQ(std::vector<int32_t>(successors, successors + 4),
            (std::vector<int32_t>{0b1010, 0b1000, 0b1000, 0}));
  struct expected_mask {
    int32_t mask;
    bool allowed;
  };
  for (const expected_mask& e : {expected_mask{0b0001, true},
                                 {0b0010, false},
                                 {0b0011, true},
                                 {0b0110, false},
                                 {0b1000, false},
                                 {0b0111, true},
                                 {0b1111, true},
                                 {0b1011, false}}) {
    EXPECT_EQ(veldra::is_allowed_prefix(predecessors, e.mask), e.allowed)
        << e.mask;
  }
  uint64_t evaluations[5];
  veldra::count_evaluations(d, predecessors, successors, evaluations);
  // {0}, {2}; {0,1}: 1, {0,2}: 0 or 2; {0,1,2}: 1 or 2; {0,1,2,3}: 3.
  EXPECT_EQ(std::vector<uint64_t>(evaluations, evaluations + 5),
            (std::vector<uint64_t>{0, 2, 3, 2, 1}));

  sweep_problem p = make_sweep_problem(50, d, 0.5, 3);
  veldra::sweep_operands ops =
      sweep_operands_for(p, hwy::SupportedTargets(), 1);
  std::vector<int8_t> sinks(16, -1);
  std::vector<float> below(1, 0.0f), scores;
  for (int32_t k = 1; k <= d; ++k) {
    scores.assign(veldra::binomial(d, k), 0.0f);
    const veldra::level_tables t{below.data(), scores.data(), sinks.data(),
                                 predecessors, successors};
    EXPECT_EQ(veldra::sweep_level_range(ops, t, k, 0, scores.size(), nullptr),
              evaluations[k]);
    below = scores;
  }
  EXPECT_EQ(sinks[0b1111], 3);
  EXPECT_EQ(sinks[0b0011], 1);
  EXPECT_EQ(sinks[0b0010], -1);
  // The best allowed order's total, computed by hand: 0 or 2 first, then the
  // other of them or 1, and 3 last.
  const auto s = [&](int32_t target, int32_t parents) {
    return static_cast<float>(veldra::score(p.X.data(), p.gram.data(),
                                            p.reference.data(), p.n, d, target,
                                            parents));
  };
  float best = -1e30f;
  for (const auto& order : std::vector<std::vector<int32_t>>{
           {0, 1, 2, 3}, {0, 2, 1, 3}, {2, 0, 1, 3}}) {
    float total = 0.0f;
    int32_t prefix = 0;
    for (int32_t v : order) {
      total = s(v, prefix) + total;
      prefix |= 1 << v;
    }
    best = std::max(best, total);
  }
  EXPECT_EQ(below[0], best);
}

}  // namespace
