// Rollback: undoes a step of a change unless the whole change completes. A
// container that appends to several parts in turn arms one Rollback after
// each append; when a later step throws, the armed ones undo their appends in
// reverse order, and the container is left as it was.
#pragma once

#include <utility>

namespace colenc {

// Runs `undo` on destruction unless commit() was called first.
// REQUIRES: `undo` does not throw (it may run while an exception unwinds).
template <class Undo>
class Rollback {
 public:
  explicit Rollback(Undo undo) : undo_(std::move(undo)) {}
  Rollback(const Rollback&) = delete;
  Rollback& operator=(const Rollback&) = delete;
  ~Rollback() {
    if (armed_) undo_();
  }

  // Keeps the step: the undo no longer runs.
  void commit() { armed_ = false; }

 private:
  Undo undo_;
  bool armed_ = true;
};

}  // namespace colenc
