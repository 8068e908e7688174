// The thread pool of one call from Python, shared by both extension modules.
#ifndef VELDRA_PYTHON_POOL_H_
#define VELDRA_PYTHON_POOL_H_

#include <pybind11/pybind11.h>

#include <new>
#include <string>

#include "_thread_pool.h"

namespace veldra {

// A pool for `threads` threads, the calling one included; null for one
// thread. Made while the lock is held; a pool that cannot be made is a
// MemoryError saying why, with nothing started. Its workers spin between
// runs unless told to block.
inline hwy::AlignedUniquePtr<hwy::ThreadPool> pool_for_call(
    size_t threads, hwy::PoolWaitMode wait = hwy::PoolWaitMode::kSpin) {
  hwy::AlignedUniquePtr<hwy::ThreadPool> pool;
  if (threads <= 1) return pool;
  std::string why;
  try {
    pool = make_thread_pool(threads - 1, &why);
  } catch (const std::bad_alloc&) {
    if (why.empty()) throw;
    PyErr_SetString(PyExc_MemoryError, why.c_str());
    throw pybind11::error_already_set();
  }
  pool->SetWaitMode(wait);
  return pool;
}

}  // namespace veldra

#endif  // VELDRA_PYTHON_POOL_H_
