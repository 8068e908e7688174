// The x86 instruction sets the vector code is compiled for.
#ifndef VELDRA_INSTRUCTION_SETS_H_
#define VELDRA_INSTRUCTION_SETS_H_

// Highway's targets for every file dispatched at run time (each of them
// defines HWY_TARGETS as this before it includes Highway).
#define VELDRA_DISPATCH_TARGETS                                          \
  (HWY_SSE2 | HWY_SSSE3 | HWY_SSE4 | HWY_AVX2 | HWY_AVX3 | HWY_AVX3_DL | \
   HWY_AVX3_ZEN4 | HWY_AVX3_SPR)

namespace veldra {

// The target scaled_residuals() dispatches to, by Highway's name.
const char* residuals_instruction_set();

}  // namespace veldra

#endif  // VELDRA_INSTRUCTION_SETS_H_
