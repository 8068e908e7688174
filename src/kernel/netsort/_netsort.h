// In-place ascending sorts by a data-oblivious sorting network.
//
// Floating-point values are ordered by IEEE 754 totalOrder: negative NaNs,
// -inf, negative values, -0.0, +0.0, positive values, +inf, positive NaNs.
// Counts below 2 return at once without touching the array.
#ifndef VELDRA_NETSORT_H_
#define VELDRA_NETSORT_H_

#include <cstdint>

// Picks the vector or the portable network from the processor's targets,
// asked on every call.
void netsort_float64(double* x, int64_t n);

// The same with the targets given: `targets` is what hwy::SupportedTargets()
// returned. AVX-512 is taken before AVX2 before the portable form.
void netsort_float64_with_targets(double* x, int64_t n, int64_t targets);

// The form netsort_float64_with_targets() runs for `targets`, as the Highway
// target it needs: HWY_AVX3 (AVX-512), HWY_AVX2, or HWY_SSE2 (portable).
int64_t netsort_target(int64_t targets);

void netsort_float64_portable(double* x, int64_t n);
void netsort_int64_portable(int64_t* x, int64_t n);

// The same sorts in AVX2 code, bit-identical to the portable ones. Call only
// when the processor has AVX2.
void netsort_float64_avx2(double* x, int64_t n);
void netsort_int64_avx2(int64_t* x, int64_t n);

// The same in AVX-512 code (F, VL, DQ and BW), bit-identical to the portable
// ones. Call only when the processor has them.
void netsort_float64_avx512(double* x, int64_t n);
void netsort_int64_avx512(int64_t* x, int64_t n);

#endif  // VELDRA_NETSORT_H_
