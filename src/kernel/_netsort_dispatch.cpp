// Chooses the sorting network on every call; no answer is cached.
#include <cstdint>

#include "_netsort.h"
#include "hwy/targets.h"

void netsort_float64(double* x, int64_t n) {
  if ((hwy::SupportedTargets() & HWY_AVX2) != 0) {
    netsort_float64_avx2(x, n);
    return;
  }
  netsort_float64_portable(x, n);
}
