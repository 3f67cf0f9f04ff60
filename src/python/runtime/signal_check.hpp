// SignalCheck: a look for pending signals (Ctrl-C) every few thousand cells,
// by the loops that read or write a table's cells on the calling thread.
#pragma once

#include <cstddef>

namespace colenc::py {

// Looks for pending signals (Ctrl-C) every few thousand cells; throws
// PythonError with KeyboardInterrupt set when one arrived.
class SignalCheck {
 public:
  void tick() {
    if (--countdown_ == 0) check_now();
  }
  // Looks at once.
  void check() { check_now(); }
  // Counts `cells` cells at once, as after a run read in one piece.
  void tick_many(std::size_t cells) {
    if (cells >= countdown_) {
      check_now();
    } else {
      countdown_ -= cells;
    }
  }

 private:
  static constexpr std::size_t kInterval = 1 << 14;
  void check_now();
  std::size_t countdown_ = kInterval;
};

}  // namespace colenc::py
