// The extension module `_exhaustive_kernel`: its one function, `_sink_dp`,
// runs the whole search in one call.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <string>

#include "_exhaustive_kernel.h"
#include "_hwy_compat.h"
#include "_python_pool.h"
#include "hwy/aligned_allocator.h"
#include "hwy/targets.h"

namespace py = pybind11;

namespace veldra {
namespace {

using input_array =
    py::array_t<double, py::array::c_style | py::array::forcecast>;

constexpr int32_t kMaxSinkVars = 30;

std::string shape_string(const py::array& a) {
  std::string s = "(";
  for (py::ssize_t i = 0; i < a.ndim(); ++i) {
    if (i > 0) s += ", ";
    s += std::to_string(a.shape(i));
  }
  return s + (a.ndim() == 1 ? ",)" : ")");
}

// The search reads X as n x d, gram as d x d and reference as n values, and
// computes 2^d masks in 32-bit integers: refuse anything else up front.
void check_arguments(const input_array& X, const input_array& gram,
                     const input_array& reference, int32_t d) {
  if (d < 0 || d > kMaxSinkVars) {
    throw py::value_error("n_vars must lie in 0.." +
                          std::to_string(kMaxSinkVars) + ", got " +
                          std::to_string(d));
  }
  const std::string ds = std::to_string(d);
  if (X.ndim() != 2 || X.shape(1) != d) {
    throw py::value_error("X must be 2-D with n_vars = " + ds +
                          " columns, expected shape (n, " + ds +
                          "), got shape " + shape_string(X));
  }
  constexpr py::ssize_t kMaxRows = std::numeric_limits<int32_t>::max();
  if (X.shape(0) > kMaxRows) {
    throw py::value_error("X has " + std::to_string(X.shape(0)) +
                          " rows; at most " + std::to_string(kMaxRows) +
                          " are supported");
  }
  if (gram.ndim() != 2 || gram.shape(0) != d || gram.shape(1) != d) {
    throw py::value_error("gram must have shape (" + ds + ", " + ds +
                          "), got shape " + shape_string(gram));
  }
  const std::string ns = std::to_string(X.shape(0));
  if (reference.size() != X.shape(0)) {
    throw py::value_error("reference must hold n = " + ns +
                          " values, expected shape (" + ns + ",), got shape " +
                          shape_string(reference));
  }
}

py::tuple sink_dp(const input_array& X, const input_array& gram,
                  const input_array& reference, int32_t d, size_t n_threads) {
  const py::ssize_t rows = X.shape(0);  // IndexError for a 0-d X
  check_arguments(X, gram, reference, d);
  const int32_t n = static_cast<int32_t>(rows);
  const int32_t count = int32_t{1} << d;

  py::array_t<int32_t> masks_by_level(count - 1);
  py::array_t<int32_t> level_offsets(d + 2);
  py::array_t<int32_t> level_counts(d + 1);
  py::array_t<int32_t> level_cursor(d + 2);
  py::array_t<float> best_score(count);
  py::array_t<int32_t> best_sink(count);

  int32_t* offsets = level_offsets.mutable_data();
  int32_t* counts = level_counts.mutable_data();
  int32_t* cursor = level_cursor.mutable_data();
  int32_t* masks = masks_by_level.mutable_data();
  std::memset(offsets, 0, sizeof(int32_t) * static_cast<size_t>(d + 2));
  std::memset(counts, 0, sizeof(int32_t) * static_cast<size_t>(d + 1));
  std::memset(best_score.mutable_data(), 0,
              sizeof(float) * static_cast<size_t>(count));
  std::memset(best_sink.mutable_data(), 0xFF,
              sizeof(int32_t) * static_cast<size_t>(count));

  group_masks_by_level(d, masks, offsets, counts, cursor);

  const py::buffer_info x_info = X.request();
  const py::buffer_info gram_info = gram.request();
  const py::buffer_info reference_info = reference.request();

  // Everything the sweep writes besides the tables is allocated first, so a
  // shortage is a MemoryError before any thread starts. At least one value
  // each: n may be 0.
  const size_t threads = thread_count(n_threads);
  const size_t buffers =
      threads > 1 ? std::min(threads, kMaxPoolWorkerThreads + 1) : 1;
  const size_t stride = residual_stride(n);
  auto X_columns = hwy::AllocateAligned<double>(
      std::max<size_t>(1, static_cast<size_t>(n) * static_cast<size_t>(d)));
  auto residuals =
      hwy::AllocateAligned<double>(std::max<size_t>(1, stride * buffers));
  if (!X_columns || !residuals) throw std::bad_alloc();

  // One pool per call, made while the lock is held and destroyed after the
  // result is built, so no worker outlives the call. Its workers, the calling
  // thread included, number `buffers`: the count capped as the pool caps it.
  hwy::AlignedUniquePtr<hwy::ThreadPool> pool = pool_for_call(threads);

  // The processor's targets, asked once: the query costs more than a sort
  // on virtual machines, where cpuid traps to the hypervisor.
  const sweep_operands ops{X_columns.get(),
                           static_cast<const double*>(gram_info.ptr),
                           static_cast<const double*>(reference_info.ptr),
                           best_score.mutable_data(),
                           best_sink.mutable_data(),
                           masks,
                           n,
                           d,
                           hwy::SupportedTargets(),
                           residuals.get(),
                           stride};
  {
    py::gil_scoped_release release;
    copy_columns(static_cast<const double*>(x_info.ptr), n, d, X_columns.get());
    sweep_levels(ops, offsets, pool.get());
  }

  return py::make_tuple(best_sink,
                        static_cast<double>(best_score.data()[count - 1]));
}

}  // namespace
}  // namespace veldra

PYBIND11_MODULE(_exhaustive_kernel, m,
                py::multiple_interpreters::not_supported()) {
  m.def("_sink_dp", &veldra::sink_dp);
}
