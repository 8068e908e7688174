// The few Highway facilities whose form differs between releases: the thread
// pool's constructor and worker cap, and the calling thread's CPU affinity.
// Everything else uses Highway directly.
#ifndef VELDRA_HWY_COMPAT_H_
#define VELDRA_HWY_COMPAT_H_

#include <sched.h>

#include <cstddef>
#include <cstdio>
#include <new>
#include <system_error>

#include "hwy/aligned_allocator.h"
#include "hwy/base.h"
#include "hwy/contrib/thread_pool/thread_pool.h"

#define VELDRA_HWY_AT_LEAST(major, minor) \
  (HWY_MAJOR > (major) || (HWY_MAJOR == (major) && HWY_MINOR >= (minor)))

namespace veldra {

// Highway's limit on worker threads; the calling thread comes on top.
constexpr size_t kMaxPoolWorkerThreads = 127;

// A pool with `worker_threads` threads besides the calling one, so that
// NumWorkers() == worker_threads + 1 (at most 128). Its memory comes from
// Highway's aligned allocator. Throws std::bad_alloc when the pool cannot be
// created: no memory for it or its threads.
inline hwy::AlignedUniquePtr<hwy::ThreadPool> make_thread_pool(
    size_t worker_threads) {
#if !VELDRA_HWY_AT_LEAST(1, 3)
  // Releases before 1.3 neither cap the count nor say so; do both here.
  if (worker_threads > kMaxPoolWorkerThreads) {
    std::fprintf(stderr, "ThreadPool: clamping num_threads %zu to %zu.\n",
                 worker_threads, kMaxPoolWorkerThreads);
    worker_threads = kMaxPoolWorkerThreads;
  }
#endif
  void* bytes = hwy::AllocateAlignedBytes(sizeof(hwy::ThreadPool));
  if (bytes == nullptr) throw std::bad_alloc();
  hwy::ThreadPool* pool;
  try {
#if VELDRA_HWY_AT_LEAST(1, 3)
    pool =
        new (bytes) hwy::ThreadPool(worker_threads, hwy::PoolWorkerMapping());
#else
    // Before 1.3 the count includes the calling thread.
    pool = new (bytes) hwy::ThreadPool(worker_threads + 1);
#endif
  } catch (const std::system_error&) {
    // A thread could not be started: out of resources for the pool.
    hwy::FreeAlignedBytes(bytes, nullptr, nullptr);
    throw std::bad_alloc();
  } catch (...) {
    hwy::FreeAlignedBytes(bytes, nullptr, nullptr);
    throw;
  }
  return hwy::AlignedUniquePtr<hwy::ThreadPool>(pool, hwy::AlignedDeleter());
}

// Number of CPUs in the calling thread's affinity set (a 1024-CPU set, read
// as Highway reads it on Linux). Returns false when it cannot be read.
inline bool thread_affinity_cpu_count(size_t* count) {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) != 0) return false;
  *count = static_cast<size_t>(CPU_COUNT(&set));
  return true;
}

}  // namespace veldra

#endif  // VELDRA_HWY_COMPAT_H_
