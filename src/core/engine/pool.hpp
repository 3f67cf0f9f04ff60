// The process-wide work-stealing pool: one oneTBB arena, created on first use
// and never torn down, whose worker count is read once from the environment
// (RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS, else the logical processors).
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

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
// environment. Thread-safe. The arena lives until the process ends. In a child
// forked after the arena was created, returns instead a one-slot arena made
// alongside it: the parent's workers do not exist in the child, so its work
// runs on the calling thread alone.
tbb::task_arena& process_arena();

}  // namespace colenc
