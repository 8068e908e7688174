// Nanoseconds per element for the sorting network (AVX-512 form, AVX2 form,
// portable form, and the dispatching entry, which adds a processor query per
// call), std::sort and Highway's vectorised quicksort on the same
// standard-normal inputs, followed by the cost of one processor query.
// Highway's sort runs twice: on its best target, and held to AVX2 beside the
// AVX2 form. A column whose instructions the processor lacks shows 0.
//
// Each repetition copies one unsorted input before sorting it, so every figure
// includes one copy of n doubles (the same for every sort). The inputs cycle
// through many distinct arrays: sorting one array over and over lets the
// branch predictor learn its comparisons and flatters branchy sorts at small
// n.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "hwy/contrib/sort/vqsort.h"
#include "hwy/targets.h"
#include "netsort/_netsort.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kMinSeconds = 0.05;  // Per measurement, to swamp timer noise.
constexpr int kRuns = 5;              // Minimum of these is reported.

volatile double sink;  // Keeps the sorted output observable.

using Inputs = std::vector<std::vector<double>>;

template <typename Sort>
double SecondsFor(int64_t reps, const Inputs& inputs, std::vector<double>& work,
                  Sort sort) {
  const auto start = Clock::now();
  for (int64_t r = 0; r < reps; ++r) {
    const auto& input = inputs[r % inputs.size()];
    std::memcpy(work.data(), input.data(), work.size() * sizeof(double));
    sort(work.data(), work.size());
    sink = work[work.size() / 2];
  }
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Grows the repetition count until one measurement takes kMinSeconds, then
// returns the fastest of kRuns measurements in ns per element.
template <typename Sort>
double NsPerElement(const Inputs& inputs, Sort sort) {
  std::vector<double> work(inputs[0].size());
  int64_t reps = 1;
  while (SecondsFor(reps, inputs, work, sort) < kMinSeconds) reps *= 2;
  double best = 1e300;
  for (int run = 0; run < kRuns; ++run)
    best = std::min(best, SecondsFor(reps, inputs, work, sort));
  return best * 1e9 / (static_cast<double>(reps) * work.size());
}

}  // namespace

int main() {
  const bool avx512 = (hwy::SupportedTargets() & HWY_AVX3) != 0;
  const bool avx2 = (hwy::SupportedTargets() & HWY_AVX2) != 0;
  std::mt19937_64 rng(2024);
  std::normal_distribution<double> normal;
  std::printf("%6s %10s %10s %14s %11s %12s %10s %15s\n", "n", "avx512_ns",
              "avx2_ns", "portable_ns", "netsort_ns", "std_sort_ns",
              "vqsort_ns", "vqsort_avx2_ns");
  for (int64_t n : {8, 16, 64, 100, 256, 1000, 4096, 10000}) {
    // About 2^16 values in all; no NaNs, so '<' below is a total order.
    Inputs inputs((65535 + n) / n, std::vector<double>(n));
    for (auto& input : inputs) {
      for (double& v : input) v = normal(rng);
    }
    const double avx512_form =
        avx512
            ? NsPerElement(inputs,
                           [](double* x, size_t m) {
                             netsort_float64_avx512(x, static_cast<int64_t>(m));
                           })
            : 0.0;
    const double vector_form =
        avx2 ? NsPerElement(inputs,
                            [](double* x, size_t m) {
                              netsort_float64_avx2(x, static_cast<int64_t>(m));
                            })
             : 0.0;
    const double portable = NsPerElement(inputs, [](double* x, size_t m) {
      netsort_float64_portable(x, static_cast<int64_t>(m));
    });
    const double dispatched = NsPerElement(inputs, [](double* x, size_t m) {
      netsort_float64(x, static_cast<int64_t>(m));
    });
    const double std_sort = NsPerElement(inputs, [](double* x, size_t m) {
      std::sort(x, x + m, [](double a, double b) { return a < b; });
    });
    auto vqsort = [](double* x, size_t m) {
      hwy::VQSort(x, m, hwy::SortAscending());
    };
    const double vq = NsPerElement(inputs, vqsort);
    double vq_avx2 = 0.0;
    if (avx2) {
      // Targets better than AVX2 (the AVX-512 ones) have the lower bits.
      hwy::SetSupportedTargetsForTest(hwy::SupportedTargets() &
                                      ~(HWY_AVX2 - 1));
      vq_avx2 = NsPerElement(inputs, vqsort);
      hwy::SetSupportedTargetsForTest(0);
    }
    std::printf("%6lld %10.2f %10.2f %14.2f %11.2f %12.2f %10.2f %15.2f\n",
                static_cast<long long>(n), avx512_form, vector_form, portable,
                dispatched, std_sort, vq, vq_avx2);
  }
  if (!avx512) {
    std::printf("(no AVX-512 on this processor: AVX-512 column not run)\n");
  }
  if (!avx2) std::printf("(no AVX2 on this processor: AVX2 columns not run)\n");

  // What netsort_float64 pays on every call before it sorts.
  int64_t reps = 1;
  double seconds = 0.0;
  volatile int64_t targets = 0;
  while (seconds < kMinSeconds) {
    reps *= 2;
    const auto start = Clock::now();
    for (int64_t r = 0; r < reps; ++r)
      targets = targets + hwy::SupportedTargets();
    seconds = std::chrono::duration<double>(Clock::now() - start).count();
  }
  std::printf("hwy::SupportedTargets(): %.0f ns per call\n",
              seconds * 1e9 / static_cast<double>(reps));
  return 0;
}
