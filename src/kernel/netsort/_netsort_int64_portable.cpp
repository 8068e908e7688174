// Portable form of the int64 sorting network (Batcher's merge-exchange sort,
// with each level's comparators grouped by their lower index).
#include <cstdint>

#include "_netsort.h"

namespace {

// Smaller value to *a, larger to *b; both are written back in every case.
inline void int64_minmax(int64_t* a, int64_t* b) {
  const int64_t x = *a;
  const int64_t y = *b;
  const int64_t swap = -static_cast<int64_t>(y < x);  // all ones or zero
  const int64_t diff = (x ^ y) & swap;
  *a = x ^ diff;
  *b = y ^ diff;
}

// Compare-exchanges (j+p, j+r) for r = q, q/2, ..., 2p, keeping the running
// minimum in a register.
inline void int64_chain(int64_t* x, int64_t j, int64_t p, int64_t q) {
  int64_t v = x[j + p];
  for (int64_t r = q; r > p; r >>= 1) {
    int64_minmax(&v, &x[j + r]);
  }
  x[j + p] = v;
}

}  // namespace

void netsort_int64_portable(int64_t* x, int64_t n) {
  if (n < 2) return;
  int64_t top = 1;
  while (top < n - top) top += top;

  for (int64_t p = top; p > 0; p >>= 1) {
    // Pairs at distance p.
    int64_t i = 0;
    for (; i + 2 * p <= n; i += 2 * p) {
      for (int64_t j = i; j < i + p; ++j) int64_minmax(&x[j], &x[j + p]);
    }
    for (int64_t j = i; j < n - p; ++j) int64_minmax(&x[j], &x[j + p]);

    // Merge chains; i and j carry over from one span to the next.
    i = 0;
    int64_t j = 0;
    for (int64_t q = top; q > p; q >>= 1) {
      bool span_done = false;
      if (j != i) {
        for (;;) {
          if (j == n - q) {
            span_done = true;
            break;
          }
          int64_chain(x, j, p, q);
          ++j;
          if (j == i + p) {
            i += 2 * p;
            break;
          }
        }
      }
      if (span_done) continue;
      for (; i + p <= n - q; i += 2 * p) {
        for (j = i; j < i + p; ++j) int64_chain(x, j, p, q);
      }
      for (j = i; j < n - q; ++j) int64_chain(x, j, p, q);
    }
  }
}
