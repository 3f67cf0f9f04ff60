// A float64 matrix that owns its cells: the buffer the column driver
// writes in place becomes the matrix without a copy. The cells come from
// malloc, whose large blocks are fresh pages that the kernel maps only when
// written, so a buffer sized from a table's claimed shape costs nothing until
// the table's cells have really been read.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <utility>

namespace colenc {

// Asks the kernel to back a large block with huge pages, as NumPy does for
// its own large arrays: one fault per 2 MiB instead of per 4 KiB when the
// cells are first written. Only advice, and only where the platform has it
// (Linux); nothing depends on it.
inline void advise_huge_pages([[maybe_unused]] void* block, [[maybe_unused]] std::size_t bytes) {
#ifdef MADV_HUGEPAGE
  constexpr std::uintptr_t kPage = 4096;
  constexpr std::size_t kWorthIt = std::size_t{4} << 20;
  if (bytes < kWorthIt) return;
  const auto start = reinterpret_cast<std::uintptr_t>(block);
  const std::uintptr_t aligned = (start + kPage - 1) & ~(kPage - 1);
  ::madvise(reinterpret_cast<void*>(aligned), bytes - (aligned - start), MADV_HUGEPAGE);
#endif
}

// Owns a run of float64 cells.
class CellBuffer {
 public:
  CellBuffer() = default;

  // Returns `size` cells of unspecified value, for a caller that writes every
  // one of them (a heap block that calloc would clear is not cleared). Throws
  // std::bad_alloc when they cannot be had, a byte size beyond the address
  // space included.
  static CellBuffer uninitialized(std::size_t size) {
    CellBuffer buffer;
    if (size == 0) return buffer;
    if (size > SIZE_MAX / sizeof(double)) throw std::bad_alloc();
    buffer.cells_.reset(static_cast<double*>(std::malloc(size * sizeof(double))));
    if (!buffer.cells_) throw std::bad_alloc();
    advise_huge_pages(buffer.cells_.get(), size * sizeof(double));
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

// How a matrix lays out its cells: row by row, or column by column (each
// column one contiguous run, which is how a DataFrame stores its columns).
enum class MatrixOrder { kRowMajor, kColumnMajor };

// Returns the position of cell (r, c) in a rows x cols matrix of `order`.
inline std::size_t cell_index(MatrixOrder order, std::size_t rows, std::size_t cols,
                              std::size_t r, std::size_t c) {
  return order == MatrixOrder::kRowMajor ? r * cols + c : c * rows + r;
}

struct Matrix {
  std::size_t rows = 0;
  std::size_t cols = 0;
  CellBuffer data;  // rows * cols cells, laid out as `order` says
  MatrixOrder order = MatrixOrder::kRowMajor;

  double at(std::size_t r, std::size_t c) const { return data[cell_index(order, rows, cols, r, c)]; }
};

}  // namespace colenc
