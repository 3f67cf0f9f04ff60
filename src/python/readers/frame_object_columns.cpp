// The tall object column: rows split into ranges, one task each. The first
// range, read by the calling thread, starts numeric as the column does; the
// others start as text, which holds only when the column has turned within
// the first range. Tasks add plain cells only (is_plain_cell), so no Python
// code runs while they read, and stop at the first cell that is not. The
// ranges are then joined for as long as they read whole, and the column goes
// on from the first row not read in strict order on the calling thread.
#include "python/readers/frame_tall_object_column.hpp"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <oneapi/tbb/task_group.h>

#include "core/internal_error.hpp"
#include "core/columns/placed_column.hpp"
#include "core/engine/pool.hpp"
#include "python/cells/cell_typing.hpp"
#include "python/cells/object_cell.hpp"
#include "python/cells/str_sharing.hpp"
#include "python/runtime/panic.hpp"
#include "python/runtime/py_ref.hpp"
#include "python/readers/object_column_in_order.hpp"

namespace colenc::py {
namespace {

// Rows a range reads between two looks at the stop flag (and, on the calling
// thread, for an interrupt) and between two judgements of its ids.
constexpr std::size_t kStretchRows = std::size_t{1} << 15;

// Files rows [begin, end) of `array` into `column` while each cell is plain;
// returns the rows added.
std::size_t read_range(PyArrayObject* array, std::size_t begin, std::size_t end,
                       PlacedColumn& column, std::atomic<bool>& stop_all,
                       std::atomic<bool>& interrupted, bool checks_signals) {
  const char* const base = PyArray_BYTES(array);
  const npy_intp stride = PyArray_STRIDE(array, 0);
  const auto cell_at = [&](std::size_t i) {
    PyObject* cell;
    std::memcpy(&cell, base + static_cast<npy_intp>(i) * stride, sizeof cell);
    return cell != nullptr ? cell : Py_None;
  };
  for (std::size_t i = begin; i < end;) {
    const std::size_t stretch_end = std::min(end, i + kStretchRows);
    for (; i < stretch_end; ++i) {
      if (i + kObjectsAhead < end) __builtin_prefetch(cell_at(i + kObjectsAhead));
      if (!add_plain_cell(cell_at(i), column)) return i - begin;
    }
    column.judge_repeats();
    // Only reads and clears the flag: a handler would be Python code.
    if (checks_signals && PyOS_InterruptOccurred()) {
      interrupted = true;
      stop_all = true;
    }
    if (stop_all) return i - begin;
  }
  return end - begin;
}

}  // namespace

std::optional<StrRepeats> tall_column_repeats(PyArrayObject* array, std::size_t rows) {
  if (rows < 2 * kTallColumnRows || process_arena().max_concurrency() <= 1) return std::nullopt;
  const StrRepeats repeats = column_str_repeats(array, 1, 0, rows);
  if (repeats.objects_shared) return std::nullopt;
  return repeats;
}

void read_tall_object_column(PyArrayObject* array, std::size_t j, TypedColumns& columns,
                             double* placed, bool texts_distinct, SignalCheck& signals) {
  const std::size_t rows = columns.row_count;
  tbb::task_arena& arena = process_arena();
  const std::size_t ranges = std::clamp<std::size_t>(
      rows / kTallColumnRows, 1, 2 * static_cast<std::size_t>(arena.max_concurrency()));
  const auto begin_of = [&](std::size_t r) { return rows * r / ranges; };
  std::vector<PlacedColumn> parts;
  parts.reserve(ranges);
  for (std::size_t r = 0; r < ranges; ++r) {
    parts.emplace_back(placed + begin_of(r), 1);
    if (texts_distinct) parts.back().keep_texts_flat();
    if (r > 0) parts.back().turn_to_text();
  }
  std::vector<std::size_t> read(ranges, 0);
  std::atomic<bool> stop_all{false};
  std::atomic<bool> interrupted{false};
  const auto read_part = [&](std::size_t r, bool checks_signals) {
    read[r] = read_range(array, begin_of(r), begin_of(r + 1), parts[r], stop_all, interrupted,
                         checks_signals);
  };
  arena.execute([&] {
    // The calling thread reads the first range itself, so that one reader
    // always looks for interrupts.
    tbb::task_group others;
    for (std::size_t r = 1; r < ranges; ++r) others.run([&, r] { read_part(r, false); });
    try {
      read_part(0, true);
    } catch (...) {
      stop_all = true;
      others.wait();
      throw;
    }
    others.wait();
  });
  if (interrupted) {
    // Raised again for the caller to act on.
    PyErr_SetInterruptEx(SIGINT);
    signals.check();
  }
  // The ranges after the first hold when the first turned to text and read
  // whole; each is joined while the one before it read whole.
  PlacedColumn& column = parts[0];
  std::size_t next_row = read[0];
  if (column.is_text() && read[0] == begin_of(1)) {
    for (std::size_t r = 1; r < ranges; ++r) {
      const bool whole = read[r] == begin_of(r + 1) - begin_of(r);
      column.append(std::move(parts[r]));
      next_row = begin_of(r) + read[r];
      if (!whole) break;
    }
  }
  signals.tick_many(next_row);
  std::size_t row = next_row;
  read_object_column_in_order(array, 1, j, next_row, rows, signals, [&](PyObject* cell) {
    add_table_cell(cell, column);
    if (++row % kStretchRows == 0) column.judge_repeats();
  });
  column.hand_over(columns, j);
}

}  // namespace colenc::py
