// The process-wide worker pool: the worker count rule over the environment and
// the one oneTBB arena built from it on first use. The arena and, when needed,
// the global parallelism limit that lets it reach its size are never destroyed,
// so no task can outlive them during interpreter shutdown.
//
// oneTBB is not fork-safe: a forked child has none of the parent's workers, and
// an internal lock that one of them held at the fork stays held in the child
// for good, so creating an arena or asking for workers there can wait forever.
// Next to the pool a one-slot arena is made, which never asks for a worker; a
// child forked after the pool started runs on it, on the calling thread alone.
#include "core/engine/pool.hpp"

#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/info.h>
#include <pthread.h>
#include <unistd.h>

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

struct Pool {
  pid_t owner;               // the process that created the arenas
  tbb::task_arena* workers;  // the pool proper
  tbb::task_arena* solo;     // one slot, no workers: what a forked child uses
};

std::atomic<Pool*> pool_if_created{nullptr};

// Runs in the forking thread just before fork(). A thread's first use of
// oneTBB registers it, which takes the locks a forked child must not touch, so
// the forking thread is registered here, in the parent, where every worker is
// still alive to release them. (A thread started inside the child registers
// there; it is exposed to such a lock only if a worker held it at the fork.)
void register_forking_thread() {
  if (Pool* pool = pool_if_created.load()) pool->solo->execute([] {});
}

Pool& process_pool() {
  // Function-local static: initialised once, thread-safely, on first call.
  static Pool* const pool = [] {
    const std::size_t workers = pool_worker_count(environment_value("RAYON_NUM_THREADS"),
                                                  environment_value("RAYON_RS_NUM_CPUS"),
                                                  std::thread::hardware_concurrency());
    const int concurrency = static_cast<int>(workers);
    if (concurrency > tbb::info::default_concurrency()) {
      // oneTBB caps its workers at the machine's default unless a larger limit
      // is alive; keep one alive for the life of the process (the static
      // pointer keeps it reachable for leak checkers).
      static tbb::global_control* const limit = new tbb::global_control(
          tbb::global_control::max_allowed_parallelism, workers);
      (void)limit;
    }
    auto* created =
        new Pool{::getpid(), new tbb::task_arena(concurrency), new tbb::task_arena(1, 1)};
    created->workers->initialize();
    created->solo->initialize();
    pool_if_created = created;
    ::pthread_atfork(register_forking_thread, nullptr, nullptr);
    return created;
  }();
  return *pool;
}

}  // namespace

tbb::task_arena& process_arena() {
  Pool& pool = process_pool();
  // The workers belong to the process that started them; a forked child (or
  // grandchild) has none.
  return ::getpid() == pool.owner ? *pool.workers : *pool.solo;
}

}  // namespace colenc
