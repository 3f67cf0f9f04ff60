// The worker count rule over the environment, and the process arena: built
// once, sized by that rule, and really reaching its size on a small machine.
#include "core/engine/pool.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/partitioner.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

namespace colenc {
namespace {

using Env = std::optional<std::string_view>;

struct WorkerCountCase {
  const char* name;
  Env num_threads;
  Env num_cpus;
  std::size_t processors;
  std::size_t expected;
};

class WorkerCountTable : public ::testing::TestWithParam<WorkerCountCase> {};

TEST_P(WorkerCountTable, FollowsTheEnvironment) {
  const WorkerCountCase& c = GetParam();
  EXPECT_EQ(pool_worker_count(c.num_threads, c.num_cpus, c.processors), c.expected);
}

constexpr Env kAbsent = std::nullopt;

INSTANTIATE_TEST_SUITE_P(
    Cases, WorkerCountTable,
    ::testing::Values(
        WorkerCountCase{"NothingSetMeansProcessors", kAbsent, kAbsent, 2, 2},
        WorkerCountCase{"NumThreadsWins", "8", "3", 2, 8},
        WorkerCountCase{"NumThreadsOne", "1", kAbsent, 16, 1},
        WorkerCountCase{"LeadingZerosAreDecimal", "007", kAbsent, 2, 7},
        WorkerCountCase{"ZeroMeansProcessors", "0", "3", 2, 2},
        WorkerCountCase{"AllZerosMeanProcessors", "000", "3", 4, 4},
        WorkerCountCase{"EmptyFallsThrough", "", "3", 2, 3},
        WorkerCountCase{"WordFallsThrough", "abc", "3", 2, 3},
        WorkerCountCase{"NegativeFallsThrough", "-1", "3", 2, 3},
        WorkerCountCase{"TrailingJunkFallsThrough", "3x", "5", 2, 5},
        WorkerCountCase{"LeadingBlankFallsThrough", " 2", "5", 2, 5},
        WorkerCountCase{"TrailingBlankFallsThrough", "2 ", "5", 2, 5},
        WorkerCountCase{"PlusSignFallsThrough", "+2", "5", 2, 5},
        WorkerCountCase{"FractionFallsThrough", "2.5", kAbsent, 6, 6},
        WorkerCountCase{"NumCpusAloneCounts", kAbsent, "3", 2, 3},
        WorkerCountCase{"NumCpusZeroMeansProcessors", kAbsent, "0", 2, 2},
        WorkerCountCase{"NumCpusNotANumberMeansProcessors", "x", "y", 2, 2},
        WorkerCountCase{"NumCpusNegativeMeansProcessors", kAbsent, "-4", 2, 2},
        WorkerCountCase{"UnknownProcessorsMeansOne", kAbsent, kAbsent, 0, 1},
        WorkerCountCase{"HugeIsClampedTo256", "100000", kAbsent, 2, 256},
        WorkerCountCase{"HugeIsClampedToFourPerProcessor", "100000", kAbsent, 128, 512},
        WorkerCountCase{"LimitItselfIsKept", "256", kAbsent, 2, 256},
        WorkerCountCase{"BeyondSixtyFourBitsIsClamped", "99999999999999999999999999", kAbsent,
                        2, 256},
        WorkerCountCase{"HugeNumCpusIsClamped", kAbsent, "1000000", 8, 256}),
    [](const auto& info) { return std::string(info.param.name); });

std::optional<std::string_view> environment_value(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::optional<std::string_view>(value) : std::nullopt;
}

TEST(ProcessArena, IsOneArenaSizedByTheEnvironment) {
  const std::size_t expected = pool_worker_count(environment_value("RAYON_NUM_THREADS"),
                                                 environment_value("RAYON_RS_NUM_CPUS"),
                                                 std::thread::hardware_concurrency());
  std::vector<tbb::task_arena*> seen(8);
  std::vector<std::thread> threads;
  for (auto& slot : seen) threads.emplace_back([&slot] { slot = &process_arena(); });
  for (auto& thread : threads) thread.join();
  for (auto* arena : seen) EXPECT_EQ(arena, &process_arena());
  EXPECT_EQ(static_cast<std::size_t>(process_arena().max_concurrency()), expected);
}

// Returns how many threads of the process arena were seen running at the same
// time, waiting up to a few seconds for `wanted` of them to arrive.
int concurrent_threads_reached(int wanted) {
  std::atomic<int> arrived{0};  // tasks started so far
  std::atomic<int> running{0};  // tasks running now
  std::atomic<int> peak{0};
  process_arena().execute([&] {
    tbb::parallel_for(
        tbb::blocked_range<int>(0, wanted, 1),
        [&](const tbb::blocked_range<int>&) {
          // Running is counted before arriving: once the last task arrives,
          // every task is counted as running and none has left.
          const int now = ++running;
          int previous = peak.load();
          while (previous < now && !peak.compare_exchange_weak(previous, now)) {
          }
          ++arrived;
          const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
          while (arrived.load() < wanted && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
          }
          --running;
        },
        tbb::simple_partitioner());
  });
  return peak.load();
}

// Sums 0..n-1 with one task per block on the process arena.
long long parallel_sum(int n) {
  std::atomic<long long> sum{0};
  pool_execute(process_arena(), [&] {
    pool_for(
        tbb::blocked_range<int>(0, n, 64),
        [&](const tbb::blocked_range<int>& range) {
          long long part = 0;
          for (int i = range.begin(); i != range.end(); ++i) part += i;
          sum += part;
        },
        tbb::simple_partitioner());
  });
  return sum.load();
}

// True when n descending numbers come out ascending from pool_sort on the
// process arena.
bool parallel_sort_sorts(int n) {
  std::vector<int> numbers(n);
  for (int i = 0; i != n; ++i) numbers[i] = n - i;
  pool_execute(process_arena(),
               [&] { pool_sort(numbers.begin(), numbers.end(), std::less<>()); });
  return std::is_sorted(numbers.begin(), numbers.end());
}

// The threads the process runs now, where the system tells (else 1).
std::size_t thread_count() {
#ifdef __linux__
  std::size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
    (void)entry;
    ++count;
  }
  return count;
#else
  return 1;
#endif
}

// In a child forked after the pool has started: its work is right, done on
// the calling thread alone, with no thread started for it.
bool works_alone_after_fork() {
  constexpr int kCells = 100000;
  const long long expected = static_cast<long long>(kCells) * (kCells - 1) / 2;
  const bool alone = pool_forked_away() && pool_concurrency(process_arena()) == 1;
  const bool worked = parallel_sum(kCells) == expected && parallel_sort_sorts(kCells) &&
                      parallel_sum(kCells) == expected;
  return alone && worked && thread_count() == 1;
}

// Forks; the child exits 0 when check() holds. Returns the child's exit code,
// or -1 when a signal ended it (the alarm, should it hang).
template <class Check>
int exit_code_of_child(Check check) {
  const pid_t child = fork();
  if (child == 0) {
    alarm(30);  // a hang ends the child with SIGALRM instead of blocking the test
    _exit(check() ? 0 : 1);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// A child forked right after the pool has worked (its workers are still busy
// settling down), and that child's own child, finish their parallel work alone
// on the calling thread; the parent keeps its pool.
TEST(ProcessArena, ForkedChildWorksAloneAndTheParentKeepsItsPool) {
  constexpr int kCells = 100000;
  const long long expected = static_cast<long long>(kCells) * (kCells - 1) / 2;
  tbb::task_arena* const parent_arena = &process_arena();
  const int parent_concurrency = parent_arena->max_concurrency();
  for (int round = 0; round != 20; ++round) {
    ASSERT_EQ(parallel_sum(kCells), expected);
    ASSERT_EQ(exit_code_of_child([] {
                return works_alone_after_fork() &&
                       exit_code_of_child(works_alone_after_fork) == 0;
              }),
              0)
        << "round " << round;
  }
  EXPECT_FALSE(pool_forked_away());
  EXPECT_EQ(&process_arena(), parent_arena);
  EXPECT_EQ(pool_concurrency(process_arena()), parent_concurrency);
  EXPECT_EQ(parallel_sum(kCells), expected);
}

// The arena is made once per process, so a fresh process (a death-test child)
// is needed to give it another environment.
TEST(ProcessArenaDeathTest, RunsAsManyWorkersAsAskedBeyondTheProcessors) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  constexpr int kWanted = 8;
  EXPECT_EXIT(
      {
        setenv("RAYON_NUM_THREADS", "8", 1);
        const bool sized = process_arena().max_concurrency() == kWanted;
        const bool reached = concurrent_threads_reached(kWanted) == kWanted;
        std::exit(sized && reached ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace colenc
