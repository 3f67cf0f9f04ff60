// The process-wide work-stealing pool: one oneTBB arena, created on first use
// and never torn down, whose worker count is read once from the environment
// (RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS, else the logical processors).
//
// oneTBB does not survive fork(): a child has none of the parent's workers,
// and any oneTBB lock that one of them held at the fork stays held in the
// child for good. So a child forked after the pool started makes no oneTBB
// call at all: the pool's work goes through the functions below, which run it
// on the calling thread there.
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>

#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/parallel_sort.h>
#include <oneapi/tbb/task_arena.h>

namespace colenc {

// Work of fewer cells than this runs on the calling thread: waking a worker
// and handing it a task costs tens of microseconds, more than the work itself
// (a one-row call at serving time, say).
inline constexpr std::size_t kCellsWorthATask = 4096;

// Returns the worker count that the environment values ask for: a positive
// decimal `rayon_num_threads` wins; "0" means `logical_processors`; absent or
// not a number (empty, a sign, a blank, any non-digit) falls through to a
// positive `rayon_rs_num_cpus`; else `logical_processors`. Counts above
// max(256, 4 * logical_processors), oneTBB's own worker limit, are clamped to
// it; the result is at least 1 even when logical_processors is 0.
std::size_t pool_worker_count(std::optional<std::string_view> rayon_num_threads,
                              std::optional<std::string_view> rayon_rs_num_cpus,
                              std::size_t logical_processors);

// Returns the process-wide arena, creating it on first call from the current
// environment. Thread-safe. The arena lives until the process ends. A child
// forked after it was created gets the same object, which the functions below
// then never enter.
tbb::task_arena& process_arena();

// True in a process forked (at any depth) from one whose pool had started.
bool pool_forked_away();

// Returns work() run inside `arena`, or on the calling thread alone when the
// pool is forked away.
template <class Work>
decltype(auto) pool_execute(tbb::task_arena& arena, Work&& work) {
  if (pool_forked_away()) return std::forward<Work>(work)();
  return arena.execute(std::forward<Work>(work));
}

// The number of threads that work run by pool_execute(arena, ...) may use.
inline int pool_concurrency(tbb::task_arena& arena) {
  return pool_forked_away() ? 1 : arena.max_concurrency();
}

// The number of threads of the arena the calling thread works in.
inline int current_concurrency() {
  return pool_forked_away() ? 1 : tbb::this_task_arena::max_concurrency();
}

// tbb::parallel_for(range, body, partitioner...) on the current arena, or
// body(range) once (unless the range is empty) when the pool is forked away.
template <class Range, class Body, class... Partitioner>
void pool_for(const Range& range, const Body& body, Partitioner&&... partitioner) {
  if (pool_forked_away()) {
    if (!range.empty()) body(range);
    return;
  }
  tbb::parallel_for(range, body, std::forward<Partitioner>(partitioner)...);
}

// body(i) for every i in [first, last), in parallel on the current arena.
template <class Index, class Body>
void pool_for_each_index(Index first, Index last, const Body& body) {
  if (pool_forked_away()) {
    for (Index i = first; i < last; ++i) body(i);
    return;
  }
  tbb::parallel_for(first, last, body);
}

// Sorts [first, last) by `less`, in parallel on the current arena.
template <class Iterator, class Less>
void pool_sort(Iterator first, Iterator last, const Less& less) {
  if (pool_forked_away()) {
    std::sort(first, last, less);
    return;
  }
  tbb::parallel_sort(first, last, less);
}

}  // namespace colenc
