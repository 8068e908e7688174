// Sum of squared differences, compiled once per x86 target.
#include "_instruction_sets.h"
#define HWY_TARGETS VELDRA_DISPATCH_TARGETS
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "_exhaustive_score.cpp"
#include <cstdint>  // After foreach_target

#include "_exhaustive_kernel.h"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace veldra {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

double sum_squared_differences_impl(const double* a, const double* b,
                                    int32_t n) {
  const hn::ScalableTag<double> d;
  const int32_t lanes = static_cast<int32_t>(hn::Lanes(d));
  auto acc = hn::Zero(d);
  int32_t i = 0;
  for (; i + lanes <= n; i += lanes) {
    const auto diff = hn::Sub(hn::LoadU(d, a + i), hn::LoadU(d, b + i));
    acc = hn::MulAdd(diff, diff, acc);
  }
  double sum = hn::ReduceSum(d, acc);
  for (; i < n; ++i) {
    const double diff = a[i] - b[i];
    sum += diff * diff;
  }
  return sum;
}

int64_t score_target_impl() { return HWY_TARGET; }

}  // namespace HWY_NAMESPACE
}  // namespace veldra
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace veldra {

HWY_EXPORT(sum_squared_differences_impl);

double sum_squared_differences(const double* a, const double* b, int32_t n) {
  return HWY_DYNAMIC_DISPATCH(sum_squared_differences_impl)(a, b, n);
}

HWY_EXPORT(score_target_impl);

const char* score_instruction_set() {
  return hwy::TargetName(HWY_DYNAMIC_DISPATCH(score_target_impl)());
}

}  // namespace veldra
#endif  // HWY_ONCE
