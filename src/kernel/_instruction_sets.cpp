#include "_instruction_sets.h"

#include <cstdint>
#include <string>

#include "_exhaustive_kernel.h"
#include "hwy/targets.h"
#include "netsort/_netsort.h"

namespace veldra {
namespace {

// The targets limit_instruction_set() left Highway, 0 for all. They are set
// as Highway's stand-in for the processor's: hwy::DisableTargets() would not
// do, as every later call of hwy::SupportedTargets() (one per search) hands
// the dispatch all the processor's targets again.
int64_t limited_targets = 0;

// Everything the processor has, whatever the limit.
int64_t processor_targets() {
  hwy::SetSupportedTargetsForTest(0);
  const int64_t targets = hwy::SupportedTargets();
  hwy::SetSupportedTargetsForTest(limited_targets);
  return targets;
}

}  // namespace

instruction_sets instruction_sets_in_use() {
  return {score_instruction_set(), residuals_instruction_set(),
          hwy::TargetName(netsort_target(hwy::SupportedTargets()))};
}

bool limit_instruction_set(const std::string& name) {
  const int64_t available = processor_targets();
  int64_t target = 0;
  for (int64_t rest = available & VELDRA_DISPATCH_TARGETS; rest != 0;
       rest &= rest - 1) {
    const int64_t bit = rest & -rest;
    if (name == hwy::TargetName(bit)) target = bit;
  }
  if (target == 0) return false;
  // Every better target has a lower bit.
  limited_targets = available & ~(target - 1);
  hwy::SetSupportedTargetsForTest(limited_targets);
  return true;
}

void lift_instruction_set_limit() {
  limited_targets = 0;
  hwy::SetSupportedTargetsForTest(0);
}

std::string instruction_set_choices() {
  std::string names;
  const int64_t available = processor_targets() & VELDRA_DISPATCH_TARGETS;
  // From the highest bit down: the lowest target first.
  for (int bit = 62; bit >= 0; --bit) {
    const int64_t target = int64_t{1} << bit;
    if ((available & target) == 0) continue;
    if (!names.empty()) names += ", ";
    names += hwy::TargetName(target);
  }
  return names;
}

}  // namespace veldra
