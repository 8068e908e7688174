// Float64 sort by the portable int64 network on totalOrder keys.
#include <cstdint>
#include <cstring>

#include "_netsort.h"

namespace {

// Inverts the low 63 bits of negative patterns; its own inverse.
inline void float64_to_key_in_place(double* x, int64_t n) {
  for (int64_t i = 0; i < n; ++i) {
    uint64_t bits;
    std::memcpy(&bits, &x[i], sizeof(bits));
    bits ^= static_cast<uint64_t>(static_cast<int64_t>(bits) >> 63) >> 1;
    std::memcpy(&x[i], &bits, sizeof(bits));
  }
}

}  // namespace

void netsort_float64_portable(double* x, int64_t n) {
  if (n <= 0) {
    netsort_int64_portable(reinterpret_cast<int64_t*>(x), n);
    return;
  }
  float64_to_key_in_place(x, n);
  netsort_int64_portable(reinterpret_cast<int64_t*>(x), n);
  float64_to_key_in_place(x, n);
}
