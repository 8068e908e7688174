// Making a Highway thread pool that cannot take the process down: the
// threads are checked against the address-space limit and started once for
// trial before the pool starts them, so that a pool that cannot be made is
// a std::bad_alloc with the reason, not a crash.
#ifndef VELDRA_THREAD_POOL_H_
#define VELDRA_THREAD_POOL_H_

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "_hwy_compat.h"
#include "hwy/aligned_allocator.h"
#include "hwy/contrib/thread_pool/thread_pool.h"

namespace veldra {

// Address space a started thread takes besides its stack and guard page (the
// stack's mapping also holds its static TLS): its TLS vector and Highway's
// per-worker state, rounded up generously.
constexpr size_t kThreadExtraBytes = size_t{64} << 10;
// Kept free after the threads, for the allocations the call still makes.
constexpr size_t kThreadsMarginBytes = size_t{1} << 20;

// Address space of one more thread with the default attributes, which
// std::thread uses.
inline size_t thread_address_space() {
  size_t stack = size_t{8} << 20;
  size_t guard = 4096;
#ifdef __GLIBC__
  pthread_attr_t attr;
  if (pthread_getattr_default_np(&attr) == 0) {
    pthread_attr_getstacksize(&attr, &stack);
    pthread_attr_getguardsize(&attr, &guard);
    pthread_attr_destroy(&attr);
  }
#endif
  return stack + guard + kThreadExtraBytes;
}

// Bytes of address space the process has mapped, or 0 when unknown.
inline size_t mapped_bytes() {
  std::FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr) return 0;
  unsigned long pages = 0;
  const bool read = std::fscanf(statm, "%lu", &pages) == 1;
  std::fclose(statm);
  return read ? static_cast<size_t>(pages) *
                    static_cast<size_t>(sysconf(_SC_PAGESIZE))
              : 0;
}

inline std::string mebibytes(size_t bytes) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.1f MiB",
                static_cast<double>(bytes) / (1 << 20));
  return text;
}

// Empty when `worker_threads` more threads fit under the address-space limit
// (RLIMIT_AS, `ulimit -v`); else why not, with the figures. A thread that
// cannot get its stack is not always reported: glibc ends the process when
// it cannot set up a new thread's TLS, so the room is checked beforehand.
inline std::string address_space_shortfall(size_t worker_threads) {
  rlimit limit;
  if (worker_threads == 0 || getrlimit(RLIMIT_AS, &limit) != 0 ||
      limit.rlim_cur == RLIM_INFINITY) {
    return {};
  }
  const size_t each = thread_address_space();
  const size_t need = worker_threads * each + kThreadsMarginBytes;
  const size_t used = mapped_bytes();
  const size_t cap = static_cast<size_t>(limit.rlim_cur);
  const size_t left = used < cap ? cap - used : 0;
  if (need <= left) return {};
  return "cannot start " + std::to_string(worker_threads) + " worker thread" +
         (worker_threads == 1 ? "" : "s") + ": they need " + mebibytes(need) +
         " of address space (" + mebibytes(each) +
         " each, stack included), but the address-space limit (ulimit -v) "
         "of " +
         mebibytes(cap) + " leaves " + mebibytes(left) +
         "; use fewer threads or raise the limit";
}

// Starts `count` threads that wait for one another, then ends them all. 0
// when every one started, else the error of the first that did not.
// Highway's pool cannot recover from a thread that fails to start once others
// run (destroying them ends the process), so the pool is made only after
// this trial shows the threads can exist together.
inline int try_start_threads(size_t count) {
  std::vector<std::thread> started;
  started.reserve(count);  // throws before anything starts
  std::mutex gate;
  int error = 0;
  {
    std::lock_guard<std::mutex> closed(gate);
    for (size_t i = 0; i < count; ++i) {
      try {
        started.emplace_back(
            [&gate] { std::lock_guard<std::mutex> pass(gate); });
      } catch (const std::system_error& e) {
        error = e.code().value();
        break;
      } catch (const std::bad_alloc&) {
        error = ENOMEM;
        break;
      }
    }
  }
  for (std::thread& thread : started) thread.join();
  return error;
}

// A pool with `worker_threads` threads besides the calling one, so that
// NumWorkers() == worker_threads + 1 (at most kMaxPoolWorkerThreads + 1: 128
// before Highway 1.3, 64 from it). Its memory comes from
// Highway's aligned allocator. Throws std::bad_alloc when the pool cannot be
// created (no memory for it or its threads), having started nothing, and
// then puts the reason in `*why` when given.
inline hwy::AlignedUniquePtr<hwy::ThreadPool> make_thread_pool(
    size_t worker_threads, std::string* why = nullptr) {
  if (worker_threads > kMaxPoolWorkerThreads) {
    // Releases before 1.3 neither cap the count nor say so, 1.3 says so in
    // its own words: the same line here for every release.
    std::fprintf(stderr, "ThreadPool: clamping num_threads %zu to %zu.\n",
                 worker_threads, kMaxPoolWorkerThreads);
    worker_threads = kMaxPoolWorkerThreads;
  }
  std::string reason = address_space_shortfall(worker_threads);
  if (reason.empty()) {
    const int error = try_start_threads(worker_threads);
    if (error != 0) {
      reason = "cannot start " + std::to_string(worker_threads) +
               " worker threads: " + std::strerror(error);
    }
  }
  if (!reason.empty()) {
    if (why != nullptr) *why = reason;
    throw std::bad_alloc();
  }
  void* bytes = hwy::AllocateAlignedBytes(sizeof(hwy::ThreadPool));
  if (bytes == nullptr) throw std::bad_alloc();
  hwy::ThreadPool* pool;
  try {
    pool = new (bytes) hwy::ThreadPool(pool_constructor_count(worker_threads));
  } catch (const std::system_error&) {
    // The first thread could not be started: out of resources for the pool.
    hwy::FreeAlignedBytes(bytes, nullptr, nullptr);
    throw std::bad_alloc();
  } catch (...) {
    hwy::FreeAlignedBytes(bytes, nullptr, nullptr);
    throw;
  }
  return hwy::AlignedUniquePtr<hwy::ThreadPool>(pool, hwy::AlignedDeleter());
}

}  // namespace veldra

#endif  // VELDRA_THREAD_POOL_H_
