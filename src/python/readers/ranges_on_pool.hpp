// Reading a table's cells in ranges on the pool while the calling thread
// holds the interpreter lock: the first range on the calling thread, which
// alone looks for interrupts (without running Python code), the others as
// tasks; a throw or an interrupt stops every range.
#pragma once

#include <Python.h>
#include <oneapi/tbb/task_group.h>

#include <atomic>
#include <csignal>
#include <cstddef>
#include <thread>

#include "core/engine/pool.hpp"
#include "python/runtime/signal_check.hpp"

namespace colenc::py {

// What the ranges of one reading share: whether all must stop, and whether
// an interrupt arrived meanwhile.
class PoolStop {
 public:
  // Returns whether every range should stop now. On the calling thread,
  // first looks for an interrupt: it only reads and clears the flag, since
  // a handler would be Python code.
  bool should_stop() {
    if (std::this_thread::get_id() == caller_ && PyOS_InterruptOccurred()) {
      interrupted_ = true;
      all_ = true;
    }
    return all_.load(std::memory_order_relaxed);
  }
  void stop_all() { all_ = true; }
  bool interrupted() const { return interrupted_; }

  // When an interrupt arrived, raises it again for `signals` to act on:
  // throws PythonError with KeyboardInterrupt set. Calling thread only.
  void raise_interrupt(SignalCheck& signals) {
    if (!interrupted_) return;
    PyErr_SetInterruptEx(SIGINT);
    signals.check();
  }

 private:
  std::thread::id caller_ = std::this_thread::get_id();
  std::atomic<bool> all_{false};
  std::atomic<bool> interrupted_{false};
};

// Runs read(r) for every r in [0, count) in the process arena: range 0 on the
// calling thread, which then helps with the others, run as tasks. A throw
// raises `stop` so that the other ranges end early, and reaches the caller
// once every range has ended.
// REQUIRES: the calling thread made `stop`; read(r) returns once
// stop.should_stop() says so, and runs no Python code.
template <class Read>
void read_ranges_on_pool(std::size_t count, PoolStop& stop, Read&& read) {
  const auto guarded = [&](std::size_t r) {
    try {
      read(r);
    } catch (...) {
      stop.stop_all();
      throw;
    }
  };
  if (pool_forked_away()) {
    for (std::size_t r = 0; r < count; ++r) guarded(r);
    return;
  }
  process_arena().execute([&] {
    tbb::task_group others;
    for (std::size_t r = 1; r < count; ++r) others.run([&guarded, r] { guarded(r); });
    try {
      guarded(0);
    } catch (...) {
      others.wait();
      throw;
    }
    others.wait();
  });
}

}  // namespace colenc::py
