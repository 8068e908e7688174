// Chooses the form of the sorting network from the processor's targets.
#include <cstdint>

#include "_netsort.h"
#include "hwy/targets.h"

int64_t netsort_target(int64_t targets) {
  // HWY_AVX3 stands for AVX-512 F, VL, DQ and BW together.
  if ((targets & HWY_AVX3) != 0) return HWY_AVX3;
  if ((targets & HWY_AVX2) != 0) return HWY_AVX2;
  return HWY_SSE2;
}

void netsort_float64_with_targets(double* x, int64_t n, int64_t targets) {
  switch (netsort_target(targets)) {
    case HWY_AVX3:
      netsort_float64_avx512(x, n);
      return;
    case HWY_AVX2:
      netsort_float64_avx2(x, n);
      return;
    default:
      netsort_float64_portable(x, n);
  }
}

// Asks on every call and keeps no record. The processor query is not free
// (cpuid traps on virtual machines), so a caller that sorts many arrays asks
// once and uses netsort_float64_with_targets.
void netsort_float64(double* x, int64_t n) {
  netsort_float64_with_targets(x, n, hwy::SupportedTargets());
}
