// The process-wide worker pool: the worker count rule over the environment and
// the one oneTBB arena built from it on first use. The arena and, when needed,
// the global parallelism limit that lets it reach its size are never destroyed,
// so no task can outlive them during interpreter shutdown.
#include "core/engine/pool.hpp"

#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/info.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <thread>

namespace colenc {
namespace {

// oneTBB never runs more than max(256, 4 * processors) workers, so larger
// requests are clamped to that instead of asking for threads it won't start.
std::size_t worker_limit(std::size_t logical_processors) {
  return std::max<std::size_t>(256, 4 * logical_processors);
}

// Returns the value of a decimal integer made only of ASCII digits (no sign, no
// blanks), saturated at `limit`; nullopt for anything else, the empty text too.
std::optional<std::size_t> parse_count(std::optional<std::string_view> text,
                                       std::size_t limit) {
  if (!text || text->empty()) return std::nullopt;
  std::size_t value = 0;
  for (char c : *text) {
    if (c < '0' || c > '9') return std::nullopt;
    // Saturating keeps digit strings too long for 64 bits a (huge) count.
    value = std::min(limit, value * 10 + static_cast<std::size_t>(c - '0'));
  }
  return value;
}

std::optional<std::string_view> environment_value(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string_view(value);
}

}  // namespace

std::size_t pool_worker_count(std::optional<std::string_view> rayon_num_threads,
                              std::optional<std::string_view> rayon_rs_num_cpus,
                              std::size_t logical_processors) {
  const std::size_t limit = worker_limit(logical_processors);
  // A machine that cannot tell its processor count still gets one worker.
  const std::size_t processors = std::clamp<std::size_t>(logical_processors, 1, limit);
  if (const auto count = parse_count(rayon_num_threads, limit)) {
    return *count == 0 ? processors : *count;
  }
  if (const auto count = parse_count(rayon_rs_num_cpus, limit); count && *count > 0) {
    return *count;
  }
  return processors;
}

namespace {

// Set in every child forked after the pool was created, and inherited by its
// own children. Relaxed loads suffice: the flag is written once, in the child
// before fork() returns there, while that process has a single thread.
std::atomic<bool> forked_away{false};

void mark_forked_away() { forked_away.store(true, std::memory_order_relaxed); }

tbb::task_arena& create_process_arena() {
  const std::size_t workers = pool_worker_count(environment_value("RAYON_NUM_THREADS"),
                                                environment_value("RAYON_RS_NUM_CPUS"),
                                                std::thread::hardware_concurrency());
  const int concurrency = static_cast<int>(workers);
  if (concurrency > tbb::info::default_concurrency()) {
    // oneTBB caps its workers at the machine's default unless a larger limit
    // is alive; keep one alive for the life of the process (the static
    // pointer keeps it reachable for leak checkers).
    static tbb::global_control* const limit =
        new tbb::global_control(tbb::global_control::max_allowed_parallelism, workers);
    (void)limit;
  }
  auto* arena = new tbb::task_arena(concurrency);
  arena->initialize();
  ::pthread_atfork(nullptr, nullptr, mark_forked_away);
  return *arena;
}

}  // namespace

tbb::task_arena& process_arena() {
  // Function-local static: initialised once, thread-safely, on first call.
  static tbb::task_arena& arena = create_process_arena();
  return arena;
}

bool pool_forked_away() { return forked_away.load(std::memory_order_relaxed); }

}  // namespace colenc
