// Ownership of the Arrow C interface structs that colenc imports: each owner
// takes a struct by moving it out of its producer's memory and clearing the
// source's `release`, and calls `release` exactly once, when it dies.
#pragma once

#include <utility>

#include "python/input/arrow_c_abi.hpp"

namespace colenc::py {

// Owns one ArrowSchema, ArrowArray or ArrowArrayStream (or none).
template <class T>
class ArrowOwned {
 public:
  ArrowOwned() = default;
  ArrowOwned(const ArrowOwned&) = delete;
  ArrowOwned& operator=(const ArrowOwned&) = delete;
  ArrowOwned(ArrowOwned&& other) noexcept : value_(other.value_) { other.value_.release = nullptr; }
  ArrowOwned& operator=(ArrowOwned&& other) noexcept {
    if (this != &other) {
      reset();
      value_ = other.value_;
      other.value_.release = nullptr;
    }
    return *this;
  }
  ~ArrowOwned() { reset(); }

  // Takes over `*source`: its fields are copied here and its `release` is
  // cleared, so that the producer's copy is marked released and only this
  // owner releases the struct.
  static ArrowOwned take(T* source) {
    ArrowOwned owned;
    owned.value_ = *source;
    source->release = nullptr;
    return owned;
  }

  // Where a producer writes a new struct (get_schema, get_next); requires an
  // empty owner. The struct is owned once its `release` is set.
  T* out() { return &value_; }

  bool released() const { return value_.release == nullptr; }
  T& get() { return value_; }
  const T& get() const { return value_; }

  // Releases the struct now, if it is held.
  void reset() {
    if (value_.release != nullptr) {
      value_.release(&value_);
      value_.release = nullptr;  // a producer should clear it; never call it twice
    }
  }

 private:
  T value_{};
};

using OwnedSchema = ArrowOwned<ArrowSchema>;
using OwnedArray = ArrowOwned<ArrowArray>;
using OwnedStream = ArrowOwned<ArrowArrayStream>;

}  // namespace colenc::py
