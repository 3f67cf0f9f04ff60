// A row-major float64 matrix that owns its cells: the buffer the column driver
// writes in place becomes the matrix without a copy. The cells come from
// calloc, whose large blocks are fresh zero pages that the kernel maps only when
// written, so a buffer sized from a table's claimed shape costs nothing until
// the table's cells have really been read.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <utility>

namespace colenc {

// Owns a run of float64 cells, all 0.0 when made.
class CellBuffer {
 public:
  CellBuffer() = default;

  // Returns `size` cells of 0.0; throws std::bad_alloc when they cannot be
  // had, a byte size beyond the address space included.
  static CellBuffer zeroed(std::size_t size) {
    CellBuffer buffer;
    if (size == 0) return buffer;
    buffer.cells_.reset(static_cast<double*>(std::calloc(size, sizeof(double))));
    if (!buffer.cells_) throw std::bad_alloc();
    buffer.size_ = size;
    return buffer;
  }

  CellBuffer(CellBuffer&& other) noexcept
      : cells_(std::move(other.cells_)), size_(std::exchange(other.size_, 0)) {}
  CellBuffer& operator=(CellBuffer&& other) noexcept {
    cells_ = std::move(other.cells_);
    size_ = std::exchange(other.size_, 0);
    return *this;
  }

  double* data() { return cells_.get(); }
  const double* data() const { return cells_.get(); }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  double* begin() { return data(); }
  double* end() { return data() + size_; }
  const double* begin() const { return data(); }
  const double* end() const { return data() + size_; }
  double& operator[](std::size_t i) { return cells_[i]; }
  double operator[](std::size_t i) const { return cells_[i]; }

 private:
  struct Free {
    void operator()(double* cells) const { std::free(cells); }
  };
  std::unique_ptr<double[], Free> cells_;
  std::size_t size_ = 0;
};

struct Matrix {
  std::size_t rows = 0;
  std::size_t cols = 0;
  CellBuffer data;  // rows * cols cells; cell (r, c) at r * cols + c

  double at(std::size_t r, std::size_t c) const { return data[r * cols + c]; }
};

}  // namespace colenc
