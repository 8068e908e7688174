// The extension module `_sweep`: the search's engine, driven from Python one
// range of a level at a time, so that a search can report progress, stop,
// save and resume between ranges and honour order constraints. Each range
// gives the same bits as the one-call search `_exhaustive_kernel._sink_dp`.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/typing.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "_exhaustive_kernel.h"
#include "_hwy_compat.h"
#include "_instruction_sets.h"
#include "_python_pool.h"
#include "hwy/aligned_allocator.h"
#include "hwy/targets.h"

namespace py = pybind11;

namespace veldra {
namespace {

using input_array =
    py::array_t<double, py::array::c_style | py::array::forcecast>;
using mask_array =
    py::array_t<int32_t, py::array::c_style | py::array::forcecast>;

constexpr int32_t kMaxSearchVars = 30;

[[noreturn]] void fail(const std::string& what) { throw py::value_error(what); }

// A 1-D C-contiguous array of `size` values of type T that the engine may
// write to: anything else would be written somewhere the caller cannot see.
template <typename T>
T* output_table(py::array a, uint64_t size, const char* name) {
  if (!a.dtype().is(py::dtype::of<T>()) || a.ndim() != 1 ||
      !(a.flags() & py::array::c_style) || !a.writeable()) {
    fail(std::string(name) + " must be a writeable, contiguous 1-D array of " +
         py::str(py::dtype::of<T>()).cast<std::string>());
  }
  if (static_cast<uint64_t>(a.size()) != size) {
    fail(std::string(name) + " must hold " + std::to_string(size) +
         " values, got " + std::to_string(a.size()));
  }
  return static_cast<T*>(a.mutable_data());
}

// Per-variable masks of the variables that must come before it: empty for
// none, else d masks of other variables among the d.
std::vector<int32_t> checked_predecessors(const mask_array& predecessors,
                                          int32_t d) {
  if (predecessors.size() == 0) return {};
  if (predecessors.ndim() != 1 || predecessors.size() != d) {
    fail("predecessors must hold one mask per variable (" + std::to_string(d) +
         "), got " + std::to_string(predecessors.size()));
  }
  std::vector<int32_t> masks(predecessors.data(), predecessors.data() + d);
  for (int32_t j = 0; j < d; ++j) {
    const int64_t outside = ~((int64_t{1} << d) - 1) | (int64_t{1} << j);
    if ((masks[j] & outside) != 0) {
      fail("predecessors[" + std::to_string(j) +
           "] names a variable that does not exist or the variable itself");
    }
  }
  return masks;
}

// The threads of one search, kept from one range to the next: a pool made
// for every range paid for its threads' start and for their first moves
// between cores on each. Its workers block between ranges, while Python
// reports progress and writes checkpoints. A process forked from the one that
// made it has none of its threads, so it makes a pool per range.
class search_threads {
 public:
  explicit search_threads(size_t n_threads)
      : count_(thread_count(n_threads)),
        owner_(getpid()),
        pool_(pool_for_call(count_, hwy::PoolWaitMode::kBlock)) {}
  ~search_threads() {
    // A forked copy must not wait for threads it does not have.
    if (getpid() != owner_) static_cast<void>(pool_.release());
  }

  size_t count() const { return count_; }
  void close() {
    if (getpid() != owner_) {
      static_cast<void>(pool_.release());
    } else {
      py::gil_scoped_release release;
      std::lock_guard<std::mutex> running(mutex_);
      pool_.reset();
    }
    count_ = 1;
  }

  // Runs `work` with the pool, or with null when there is none here; a
  // second Python thread waits for the first (a pool runs one thing at once).
  template <typename Work>
  uint64_t run(const Work& work) {
    if (pool_ == nullptr || getpid() != owner_) {
      hwy::AlignedUniquePtr<hwy::ThreadPool> own = pool_for_call(count_);
      py::gil_scoped_release release;
      return work(own.get());
    }
    py::gil_scoped_release release;
    std::lock_guard<std::mutex> running(mutex_);
    return work(pool_.get());
  }

 private:
  size_t count_;
  pid_t owner_;
  std::mutex mutex_;
  hwy::AlignedUniquePtr<hwy::ThreadPool> pool_;
};

// With `chunk`, scores and sinks hold positions [first, last) only, both by
// rank: what a machine that has no sink table of its own computes. `threads`
// is a thread count or a search_threads.
uint64_t sweep(const input_array& X_columns, const input_array& gram,
               const input_array& reference, int32_t members, uint64_t first,
               uint64_t last, const py::array& below, py::array scores,
               py::array sinks, const mask_array& predecessors,
               const py::object& threads, bool chunk) {
  if (X_columns.ndim() != 2 || X_columns.shape(0) > kMaxSearchVars ||
      X_columns.shape(1) > std::numeric_limits<int32_t>::max()) {
    fail("X_columns must be 2-D, one row per variable (at most " +
         std::to_string(kMaxSearchVars) + ") and fewer than 2^31 columns");
  }
  const int32_t d = static_cast<int32_t>(X_columns.shape(0));
  const int32_t n = static_cast<int32_t>(X_columns.shape(1));
  if (gram.ndim() != 2 || gram.shape(0) != d || gram.shape(1) != d) {
    fail("gram must be d x d");
  }
  if (reference.ndim() != 1 || reference.size() != n) {
    fail("reference must hold n values");
  }
  if (members < 1 || members > d) {
    fail("level must lie in 1.." + std::to_string(d));
  }
  const uint64_t level_size = binomial(d, members);
  if (first > last || last > level_size) {
    fail("the range must lie within the level's " + std::to_string(level_size) +
         " positions");
  }
  // The tables are checked before any is written.
  const py::array below_table = py::array::ensure(below);
  if (!below_table || !below_table.dtype().is(py::dtype::of<float>()) ||
      below_table.ndim() != 1 || !(below_table.flags() & py::array::c_style) ||
      static_cast<uint64_t>(below_table.size()) != binomial(d, members - 1)) {
    fail("below must be a contiguous float32 array of the " +
         std::to_string(binomial(d, members - 1)) +
         " totals of the level below");
  }
  float* score_table =
      output_table<float>(scores, chunk ? last - first : level_size, "scores");
  int8_t* sink_table = output_table<int8_t>(
      sinks, chunk ? last - first : uint64_t{1} << d, "sinks");
  if (static_cast<const void*>(score_table) == sink_table && last > first) {
    fail("scores and sinks must differ");
  }
  if (below_table.data() == score_table) fail("below and scores must differ");
  std::vector<int32_t> before = checked_predecessors(predecessors, d);
  std::vector<int32_t> after(before.size());
  if (!before.empty()) successors_of(before.data(), d, after.data());

  search_threads* kept = py::isinstance<search_threads>(threads)
                             ? threads.cast<search_threads*>()
                             : nullptr;
  size_t count;
  if (kept != nullptr) {
    count = kept->count();
  } else {
    try {
      count = thread_count(threads.cast<size_t>());
    } catch (const py::cast_error&) {
      throw py::type_error(
          "n_threads must be a non-negative integer (0: every CPU) or a "
          "_Threads, got " +
          py::repr(threads).cast<std::string>());
    }
  }
  const size_t buffers =
      count > 1 ? std::min(count, kMaxPoolWorkerThreads + 1) : 1;
  const size_t stride = residual_stride(n);
  auto residuals =
      hwy::AllocateAligned<double>(std::max<size_t>(1, stride * buffers));
  if (!residuals) throw std::bad_alloc();

  const sweep_operands ops{X_columns.data(),
                           gram.data(),
                           reference.data(),
                           nullptr,
                           nullptr,
                           nullptr,
                           n,
                           d,
                           hwy::SupportedTargets(),
                           residuals.get(),
                           stride};
  const level_tables tables{static_cast<const float*>(below_table.data()),
                            score_table,
                            sink_table,
                            before.empty() ? nullptr : before.data(),
                            after.empty() ? nullptr : after.data(),
                            chunk,
                            chunk ? first : 0};
  const auto work = [&](hwy::ThreadPool* pool) {
    return sweep_level_range(ops, tables, members, first, last, pool);
  };
  if (kept != nullptr) return kept->run(work);
  // A pool for this call alone, made after the scratch: a shortage is a
  // MemoryError before any thread starts.
  hwy::AlignedUniquePtr<hwy::ThreadPool> pool = pool_for_call(count);
  py::gil_scoped_release release;
  return work(pool.get());
}

uint64_t sweep_level(const input_array& X_columns, const input_array& gram,
                     const input_array& reference, int32_t members,
                     uint64_t first, uint64_t last, const py::array& below,
                     py::array scores, py::array sinks,
                     const mask_array& predecessors,
                     const py::object& n_threads) {
  return sweep(X_columns, gram, reference, members, first, last, below, scores,
               sinks, predecessors, n_threads, false);
}

uint64_t sweep_chunk(const input_array& X_columns, const input_array& gram,
                     const input_array& reference, int32_t members,
                     uint64_t first, uint64_t last, const py::array& below,
                     py::array scores, py::array sinks,
                     const mask_array& predecessors,
                     const py::object& n_threads) {
  return sweep(X_columns, gram, reference, members, first, last, below, scores,
               sinks, predecessors, n_threads, true);
}

void merge_sinks(int32_t members, uint64_t first, const py::array& chunk_sinks,
                 py::array sinks) {
  const py::array by_rank = py::array::ensure(chunk_sinks);
  if (!by_rank || !by_rank.dtype().is(py::dtype::of<int8_t>()) ||
      by_rank.ndim() != 1 || !(by_rank.flags() & py::array::c_style)) {
    fail("chunk_sinks must be a contiguous int8 array");
  }
  const uint64_t size = static_cast<uint64_t>(sinks.size());
  int32_t d = 0;
  while (d < kMaxSearchVars && (uint64_t{1} << d) < size) ++d;
  int8_t* table = output_table<int8_t>(sinks, uint64_t{1} << d, "sinks");
  const uint64_t count = static_cast<uint64_t>(by_rank.size());
  if (members < 1 || members > d || first > binomial(d, members) ||
      count > binomial(d, members) - first) {
    fail("the chunk must lie within level " + std::to_string(members) + " of " +
         std::to_string(d) + " variables");
  }
  const auto* values = static_cast<const int8_t*>(by_rank.data());
  for (uint64_t i = 0; i < count; ++i) {
    if (values[i] < -1 || values[i] >= d) {
      fail("chunk_sinks holds a sink that is no variable");
    }
  }
  py::gil_scoped_release release;
  place_sinks(members, first, count, values, table);
}

std::vector<uint64_t> evaluation_counts(int32_t d,
                                        const mask_array& predecessors) {
  if (d < 0 || d > kMaxSearchVars) {
    fail("d must lie in 0.." + std::to_string(kMaxSearchVars));
  }
  std::vector<int32_t> before = checked_predecessors(predecessors, d);
  std::vector<uint64_t> counts(static_cast<size_t>(d) + 1);
  if (before.empty()) {
    for (int32_t k = 1; k <= d; ++k) counts[k] = k * binomial(d, k);
    return counts;
  }
  std::vector<int32_t> after(before.size());
  successors_of(before.data(), d, after.data());
  py::gil_scoped_release release;
  count_evaluations(d, before.data(), after.data(), counts.data());
  return counts;
}

py::typing::Dict<py::str, py::str> instruction_set_limit(
    const std::optional<std::string>& name) {
  if (!name) {
    lift_instruction_set_limit();
  } else if (!veldra::limit_instruction_set(*name)) {
    fail("no instruction set " + py::repr(py::str(*name)).cast<std::string>() +
         " on this processor: choose one of " + instruction_set_choices());
  }
  const instruction_sets in_use = instruction_sets_in_use();
  py::typing::Dict<py::str, py::str> sets;
  sets["score"] = in_use.score;
  sets["residuals"] = in_use.residuals;
  sets["sort"] = in_use.sort;
  return sets;
}

}  // namespace
}  // namespace veldra

PYBIND11_MODULE(_sweep, m, py::multiple_interpreters::not_supported()) {
  // The limits of a search, for the Python side to check its input against.
  m.attr("MAX_VARIABLES") = veldra::kMaxSearchVars;
  m.attr("MAX_SAMPLES") = std::numeric_limits<int32_t>::max();
  py::class_<veldra::search_threads>(
      m, "_Threads",
      "The threads of one search, kept from one call to the next; workers "
      "block between calls.")
      .def(py::init<size_t>(), py::arg("n_threads"))
      .def_property_readonly("count", &veldra::search_threads::count,
                             "Threads working, the calling one included.")
      .def("close", &veldra::search_threads::close,
           "Ends the threads; later calls run on the calling thread.");
  m.def("_sweep_level", &veldra::sweep_level, py::arg("X_columns"),
        py::arg("gram"), py::arg("reference"), py::arg("level"),
        py::arg("first"), py::arg("last"), py::arg("below"), py::arg("scores"),
        py::arg("sinks"), py::arg("predecessors"), py::arg("n_threads"),
        "Computes positions [first, last) of the level of `level`-member "
        "subsets: totals into scores (by rank), sinks into sinks (by mask), "
        "on n_threads threads (0: every CPU) or a search's _Threads. "
        "Returns the scores evaluated.");
  m.def("_sweep_chunk", &veldra::sweep_chunk, py::arg("X_columns"),
        py::arg("gram"), py::arg("reference"), py::arg("level"),
        py::arg("first"), py::arg("last"), py::arg("below"), py::arg("scores"),
        py::arg("sinks"), py::arg("predecessors"), py::arg("n_threads"),
        "_sweep_level for a chunk computed apart from the search's tables: "
        "scores and sinks hold positions [first, last) only, both by rank. "
        "Returns the scores evaluated.");
  m.def("_merge_sinks", &veldra::merge_sinks, py::arg("level"),
        py::arg("first"), py::arg("chunk_sinks"), py::arg("sinks"),
        "Writes a chunk's sinks (by rank, from position first of the level) "
        "into the sink table (by mask).");
  m.def(
      "_instruction_set",
      [] { return std::string(veldra::score_instruction_set()); },
      "The instruction set scores are computed with here (Highway's name): "
      "their last bits depend on it.");
  m.def("_evaluation_counts", &veldra::evaluation_counts, py::arg("d"),
        py::arg("predecessors"),
        "Scores each level 0..d evaluates under the order constraints.");
  m.def("_limit_instruction_set", &veldra::instruction_set_limit,
        py::arg("name"),
        "Keeps the score, the residuals and the sort of this module (of the "
        "process, when Highway is a shared library) to the instruction set "
        "`name` (Highway's name, e.g. 'AVX2') and those below it; None lifts "
        "the limit. Returns what each of them now uses. Not while a search "
        "runs.");
}
