#include <dirent.h>
#include <sched.h>
#include <sys/resource.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "_exhaustive_kernel.h"
#include "_hwy_compat.h"
#include "_thread_pool.h"
#include "gtest/gtest.h"
#include "hwy/targets.h"
#include "sweep_problem.h"

namespace {

// The chunk sizes of every task of a level.
std::vector<uint64_t> task_sizes(uint64_t level_size, uint64_t workers) {
  const uint64_t tasks = veldra::level_task_count(level_size, workers);
  const uint64_t chunk = veldra::level_task_chunk(level_size, tasks);
  std::vector<uint64_t> sizes;
  uint64_t next = 0;
  for (uint64_t t = 0; t < tasks; ++t) {
    uint64_t first, last;
    veldra::level_task_range(t, chunk, level_size, &first, &last);
    // Contiguous, in task order, with nothing skipped.
    EXPECT_EQ(first, next) << level_size << " " << workers << " " << t;
    next = last;
    sizes.push_back(last - first);
  }
  EXPECT_EQ(next, level_size) << level_size << " " << workers;
  return sizes;
}

TEST(LevelChunks, SmallAndLargeLevels) {
  EXPECT_EQ(task_sizes(3, 2), (std::vector<uint64_t>{1, 1, 1}));
  // 1000 masks on 2 workers: 256 tasks of 4 masks, the last ones empty.
  const std::vector<uint64_t> sizes = task_sizes(1000, 2);
  ASSERT_EQ(sizes.size(), 256u);
  EXPECT_EQ(sizes[249], 4u);
  EXPECT_EQ(sizes[250], 0u);
}

TEST(LevelChunks, TasksCoverEveryPositionOnce) {
  for (uint64_t workers = 1; workers <= 130; ++workers) {
    for (uint64_t size = 2; size <= 5000; size += 1 + size / 8) {
      const std::vector<uint64_t> sizes = task_sizes(size, workers);
      ASSERT_EQ(sizes.size(),
                std::min(size, veldra::kTasksPerWorker * workers));
    }
  }
}

TEST(LevelGrouping, ThreeVariables) {
  int32_t masks[7], offsets[5] = {}, counts[4] = {}, cursor[5];
  veldra::group_masks_by_level(3, masks, offsets, counts, cursor);
  EXPECT_EQ(std::vector<int32_t>(masks, masks + 7),
            (std::vector<int32_t>{1, 2, 4, 3, 5, 6, 7}));
  EXPECT_EQ(std::vector<int32_t>(offsets, offsets + 5),
            (std::vector<int32_t>{0, 0, 3, 6, 7}));
}

TEST(ThreadCount, ExplicitOrAffinity) {
  EXPECT_EQ(veldra::thread_count(5), 5u);
  cpu_set_t set;
  ASSERT_EQ(sched_getaffinity(0, sizeof(set), &set), 0);
  EXPECT_EQ(veldra::thread_count(0), static_cast<size_t>(CPU_COUNT(&set)));
}

TEST(ThreadPool, WorkersIncludeTheCallingThreadAndAreCapped) {
  EXPECT_EQ(veldra::make_thread_pool(1)->NumWorkers(), 2u);
  EXPECT_EQ(veldra::make_thread_pool(6)->NumWorkers(), 7u);
  testing::internal::CaptureStderr();
  const size_t capped = veldra::make_thread_pool(200)->NumWorkers();
  const std::string warning = testing::internal::GetCapturedStderr();
  // 127 workers before Highway 1.3, 63 from it.
  EXPECT_EQ(capped, veldra::kMaxPoolWorkerThreads + 1);
  EXPECT_NE(warning.find("ThreadPool: clamping num_threads 200 to " +
                         std::to_string(veldra::kMaxPoolWorkerThreads) + "."),
            std::string::npos)
      << warning;
}

size_t task_count() {
  size_t count = 0;
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return 0;
  while (const dirent* entry = readdir(tasks)) count += entry->d_name[0] != '.';
  closedir(tasks);
  return count;
}

// Room for a few threads, not for 24 (glibc keeps up to 40 MiB of old stacks
// for reuse): the pool used to start a few, then end the process
// (std::terminate) when the next one failed.
TEST(ThreadPool, ShortOfAddressSpaceStartsNothing) {
  rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_AS, &saved), 0);
  const size_t before = task_count();
  rlimit tight = saved;
  tight.rlim_cur =
      veldra::mapped_bytes() + 5 * veldra::thread_address_space() / 2;
  ASSERT_EQ(setrlimit(RLIMIT_AS, &tight), 0);
  const int trial = veldra::try_start_threads(24);
  std::string why;
  bool refused = false;
  try {
    veldra::make_thread_pool(24, &why);
  } catch (const std::bad_alloc&) {
    refused = true;
  }
  const size_t after = task_count();
  ASSERT_EQ(setrlimit(RLIMIT_AS, &saved), 0);
  EXPECT_NE(trial, 0);
  EXPECT_TRUE(refused);
  EXPECT_NE(why.find("cannot start 24 worker threads"), std::string::npos)
      << why;
  EXPECT_NE(why.find("ulimit -v"), std::string::npos) << why;
  EXPECT_EQ(after, before);
  EXPECT_EQ(veldra::try_start_threads(24), 0);
}

// A small search, solved serially and on pools of several sizes: every
// table entry must agree bit for bit.
TEST(Sweep, PoolGivesTheSerialTables) {
  sweep_problem p = make_sweep_problem(48, 8, 0.5, 3);
  const int64_t targets = hwy::SupportedTargets();
  veldra::sweep_levels(sweep_operands_for(p, targets, 1), p.offsets.data(),
                       nullptr);
  const std::vector<float> serial_score = p.best_score;
  const std::vector<int32_t> serial_sink = p.best_sink;
  for (size_t s = 1; s < serial_sink.size(); ++s) ASSERT_NE(serial_sink[s], -1);

  for (size_t workers : {1, 2, 6}) {
    auto pool = veldra::make_thread_pool(workers);
    pool->SetWaitMode(hwy::PoolWaitMode::kSpin);
    for (int repeat = 0; repeat < 3; ++repeat) {
      veldra::sweep_levels(sweep_operands_for(p, targets, pool->NumWorkers()),
                           p.offsets.data(), pool.get());
      EXPECT_EQ(p.best_sink, serial_sink) << workers;
      EXPECT_EQ(0, std::memcmp(p.best_score.data(), serial_score.data(),
                               sizeof(float) * serial_score.size()))
          << workers;
    }
  }
}

}  // namespace
