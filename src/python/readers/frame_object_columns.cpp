// A frame's object columns side by side: each column split into a few row
// ranges, every range of every column one task. The first range of a column
// starts numeric as the column does; the others start as text, which holds
// only when the column has turned within its first range. Tasks add plain
// cells only, so no Python code runs while they read, and stop at the first
// cell that is not. Then, column by column in frame order, the ranges are
// joined for as long as they read whole, and the column goes on from the
// first row not read in strict order on the calling thread; once a cell there
// may have run Python code, the later columns are read again.
#include "python/readers/frame_object_columns.hpp"

#include <algorithm>
#include <vector>

#include "core/columns/placed_column.hpp"
#include "core/engine/pool.hpp"
#include "python/cells/str_sharing.hpp"
#include "python/readers/object_column_range.hpp"
#include "python/readers/ranges_on_pool.hpp"

namespace colenc::py {
namespace {

// Cells from which object columns are worth reading on the pool.
constexpr std::size_t kPoolCells = std::size_t{1} << 17;
// Rows from which one column is worth splitting into ranges.
constexpr std::size_t kRangeRows = std::size_t{1} << 17;

// True when `array` still holds `rows` object cells in one dimension: Python
// code run by an earlier column may have changed it.
bool still_holds(PyArrayObject* array, std::size_t rows) {
  return PyArray_NDIM(array) == 1 && PyArray_TYPE(array) == NPY_OBJECT &&
         static_cast<std::size_t>(PyArray_DIM(array, 0)) == rows;
}

// A column that starts empty, whose rows go to its run of the matrix; one
// that a transform's fit holds as numbers stays numeric for good.
PlacedColumn placed_column(double* run, const StrRepeats& repeats, bool keeps_numbers) {
  PlacedColumn column(run, 1);
  if (keeps_numbers) {
    column.keep_numbers();
  } else if (repeats.texts_distinct) {
    // Texts that hardly repeat are kept one per row from the turn on.
    column.keep_texts_flat();
  }
  return column;
}

// Reads one column whole on the calling thread; returns whether a cell may
// have run Python code.
bool read_on_caller(const ObjectColumn& object, const StrRepeats& repeats, TypedColumns& columns,
                    std::span<double> placed, SignalCheck& signals) {
  const std::size_t rows = columns.row_count;
  PlacedColumn column =
      placed_column(placed.data() + object.j * rows, repeats, columns.keeps_numbers(object.j));
  StrIds ids;
  PoolStop stop;
  const std::size_t read = still_holds(object.array, rows)
                               ? read_plain_range(object.array, 0, rows, column, ids, stop)
                               : 0;
  stop.raise_interrupt(signals);
  const bool ran_code =
      read_rest_in_order(object.array, object.j, read, rows, column, ids, signals);
  column.hand_over(columns, object.j);
  // Signal handlers run only now that the column is read.
  signals.tick_many(rows);
  return ran_code;
}

}  // namespace

std::size_t read_object_columns(std::span<const ObjectColumn> objects, TypedColumns& columns,
                                std::span<double> placed, SignalCheck& signals) {
  const std::size_t rows = columns.row_count;
  // Columns read at once: up to the first whose sample shows a cell that
  // may run Python code, after which the later ones would be read again.
  std::vector<StrRepeats> repeats;
  for (const ObjectColumn& object : objects) {
    repeats.push_back(column_str_repeats(object.array, 1, 0, rows));
    if (repeats.back().meets_interpreter) break;
  }
  const std::size_t count = repeats.size();
  const auto concurrency = static_cast<std::size_t>(pool_concurrency(process_arena()));
  if (concurrency <= 1 || rows * count < kPoolCells) {
    // Too little for the pool: one column after the other, each whole.
    for (std::size_t c = 0; c < count; ++c) {
      if (read_on_caller(objects[c], repeats[c], columns, placed, signals)) return c + 1;
    }
    return count;
  }

  const std::size_t ranges = std::clamp<std::size_t>((2 * concurrency + count - 1) / count, 1,
                                                     std::max<std::size_t>(1, rows / kRangeRows));
  const auto begin_of = [&](std::size_t r) { return rows * r / ranges; };
  std::vector<PlacedColumn> parts;
  std::vector<StrIds> ids(count * ranges);
  std::vector<std::size_t> read(count * ranges, 0);
  std::vector<bool> holds(count);
  std::vector<bool> kept(count);
  parts.reserve(count * ranges);
  for (std::size_t c = 0; c < count; ++c) {
    holds[c] = still_holds(objects[c].array, rows);
    kept[c] = columns.keeps_numbers(objects[c].j);
    for (std::size_t r = 0; r < ranges; ++r) {
      parts.push_back(
          placed_column(placed.data() + objects[c].j * rows + begin_of(r), repeats[c], kept[c]));
      if (r > 0 && !kept[c]) parts.back().turn_to_text();
    }
  }
  PoolStop stop;
  read_ranges_on_pool(count * ranges, stop, [&](std::size_t t) {
    const std::size_t c = t / ranges;
    const std::size_t r = t % ranges;
    // A column kept numeric never turns, so its later ranges, which start as
    // text, could not be joined: its first range is read here, the rest in
    // order on the calling thread.
    if (!holds[c] || (kept[c] && r > 0)) return;
    read[t] =
        read_plain_range(objects[c].array, begin_of(r), begin_of(r + 1), parts[t], ids[t], stop);
  });
  stop.raise_interrupt(signals);

  for (std::size_t c = 0; c < count; ++c) {
    const std::size_t first = c * ranges;
    // The ranges after the first hold when the first turned to text and read
    // whole; each is joined while the one before it read whole.
    PlacedColumn& column = parts[first];
    std::size_t next_row = read[first];
    if (column.is_text() && read[first] == begin_of(1)) {
      for (std::size_t r = 1; r < ranges; ++r) {
        const bool whole = read[first + r] == begin_of(r + 1) - begin_of(r);
        column.append(std::move(parts[first + r]));
        next_row = begin_of(r) + read[first + r];
        if (!whole) break;
      }
    }
    const bool ran_code = read_rest_in_order(objects[c].array, objects[c].j, next_row, rows, column,
                                             ids[first], signals);
    column.hand_over(columns, objects[c].j);
    if (ran_code) {
      signals.tick_many(rows * (c + 1));
      return c + 1;
    }
  }
  // Signal handlers run only now that the columns are read: they may change
  // the objects of the columns read on the pool.
  signals.tick_many(rows * count);
  return count;
}

}  // namespace colenc::py
