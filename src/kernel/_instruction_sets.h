// The x86 instruction sets the vector code is compiled for, and a limit on
// those it may use, so that one machine can time and test the lower ones.
#ifndef VELDRA_INSTRUCTION_SETS_H_
#define VELDRA_INSTRUCTION_SETS_H_

#include <string>

// Highway's targets for every file dispatched at run time (each of them
// defines HWY_TARGETS as this before it includes Highway).
#define VELDRA_DISPATCH_TARGETS                                          \
  (HWY_SSE2 | HWY_SSSE3 | HWY_SSE4 | HWY_AVX2 | HWY_AVX3 | HWY_AVX3_DL | \
   HWY_AVX3_ZEN4 | HWY_AVX3_SPR)

namespace veldra {

// What the score, the residuals and the sort run on, by Highway's names
// ("AVX2", "AVX3_ZEN4", ...); the sort's portable form is "SSE2".
struct instruction_sets {
  const char* score;
  const char* residuals;
  const char* sort;
};
instruction_sets instruction_sets_in_use();

// The target scaled_residuals() dispatches to, by Highway's name.
const char* residuals_instruction_set();

// Keeps this copy of Highway (the process's, when it is a shared library) to
// the target named `name` and those below it. Returns false, changing
// nothing, when the processor has no such target. Neither this nor the lift
// below may run while a search does.
bool limit_instruction_set(const std::string& name);
void lift_instruction_set_limit();

// The processor's targets among VELDRA_DISPATCH_TARGETS, lowest first, as
// "SSE2, SSSE3, ...".
std::string instruction_set_choices();

}  // namespace veldra

#endif  // VELDRA_INSTRUCTION_SETS_H_
