// What differs between the Highway releases veldra builds with (1.2 from the
// system, 1.3 bundled): the thread pool's worker cap and the count its
// constructor takes, and how the calling thread's CPU affinity is read.
// Everything else uses Highway directly.
#ifndef VELDRA_HWY_COMPAT_H_
#define VELDRA_HWY_COMPAT_H_

#include <sched.h>

#include <cstddef>

#include "hwy/base.h"
#include "hwy/contrib/thread_pool/thread_pool.h"

#define VELDRA_HWY_AT_LEAST(major, minor) \
  (HWY_MAJOR > (major) || (HWY_MAJOR == (major) && HWY_MINOR >= (minor)))

#if VELDRA_HWY_AT_LEAST(1, 3)
#include "hwy/contrib/thread_pool/topology.h"
#endif

namespace veldra {

// Highway's limit on worker threads; the calling thread comes on top.
#if VELDRA_HWY_AT_LEAST(1, 3)
constexpr size_t kMaxPoolWorkerThreads = hwy::pool::kMaxThreads;
#else
constexpr size_t kMaxPoolWorkerThreads = 127;
#endif

// The count hwy::ThreadPool's constructor takes for `worker_threads` threads
// besides the calling one: from 1.3 the workers alone, before it the
// calling thread too.
constexpr size_t pool_constructor_count(size_t worker_threads) {
#if VELDRA_HWY_AT_LEAST(1, 3)
  return worker_threads;
#else
  return worker_threads + 1;
#endif
}

// Number of CPUs in the calling thread's affinity set (a 1024-CPU set).
// Returns false when it cannot be read.
inline bool thread_affinity_cpu_count(size_t* count) {
#if VELDRA_HWY_AT_LEAST(1, 3)
  hwy::LogicalProcessorSet set;
  if (!hwy::GetThreadAffinity(set)) return false;
  *count = set.Count();
#else
  // Read as Highway reads it on Linux, without linking its contrib library
  // for this alone.
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) != 0) return false;
  *count = static_cast<size_t>(CPU_COUNT(&set));
#endif
  return true;
}

}  // namespace veldra

#endif  // VELDRA_HWY_COMPAT_H_
