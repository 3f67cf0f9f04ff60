// The borrow state of one Encoder: any number of shared holders or one
// exclusive holder, changed atomically; a conflicting request fails at once
// with RuntimeError instead of waiting.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

namespace colenc::py {

// 0 = free, -1 = held exclusively, n > 0 = n shared holders.
using BorrowFlag = std::atomic<std::int32_t>;

// Holds the borrow state for the lifetime of the guard. Check ok() after
// construction: when false, RuntimeError is set and nothing is held.
class SharedBorrow {
 public:
  explicit SharedBorrow(BorrowFlag& flag) : flag_(&flag) {
    std::int32_t current = flag.load(std::memory_order_relaxed);
    do {
      if (current == -1) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        flag_ = nullptr;
        return;
      }
    } while (!flag.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                         std::memory_order_relaxed));
  }
  ~SharedBorrow() {
    if (flag_) flag_->fetch_sub(1, std::memory_order_release);
  }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  bool ok() const { return flag_ != nullptr; }

 private:
  BorrowFlag* flag_;
};

class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(BorrowFlag& flag) : flag_(&flag) {
    std::int32_t expected = 0;
    if (!flag.compare_exchange_strong(expected, -1, std::memory_order_acquire,
                                      std::memory_order_relaxed)) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      flag_ = nullptr;
    }
  }
  ~ExclusiveBorrow() {
    if (flag_) flag_->store(0, std::memory_order_release);
  }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
  bool ok() const { return flag_ != nullptr; }

 private:
  BorrowFlag* flag_;
};

}  // namespace colenc::py
