#include <cstddef>
#include <cstdint>

#include "_exhaustive_kernel.h"
#include "netsort/_netsort.h"

namespace veldra {

// The count passes unchanged; the network sorts nothing below 2.
void sort_values(double* values, size_t n) {
  netsort_float64(values, static_cast<int64_t>(n));
}

void sort_values(double* values, size_t n, int64_t targets) {
  netsort_float64_with_targets(values, static_cast<int64_t>(n), targets);
}

}  // namespace veldra
