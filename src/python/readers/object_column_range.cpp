// A range of an object column read into a PlacedColumn: plain cells in one
// tight loop that only reads the objects, and the rest strictly in order on
// the calling thread, forgetting the remembered objects whenever a cell may
// have run Python code.
#include "python/readers/object_column_range.hpp"

#include <algorithm>
#include <csignal>
#include <cstring>

#include "python/cells/cell_typing.hpp"
#include "python/cells/object_cell.hpp"
#include "python/readers/object_column_in_order.hpp"

namespace colenc::py {
namespace {

static_assert(CellSink<PlacedColumn>);

// Rows a range reads between two looks at the stop flag (and, on the calling
// thread, for an interrupt) and between two judgements of its ids.
constexpr std::size_t kStretchRows = std::size_t{1} << 15;
// Distinct texts up to which rows find their text's id one after another
// about as fast as the fit would.
constexpr std::size_t kFewTexts = 1024;

// Looks for an interrupt every few thousand cells, as SignalCheck does, but
// runs the interpreter's signal handlers (Python code) only when one came:
// other signals wait for the caller's next look, after the column.
class InterruptLook {
 public:
  explicit InterruptLook(SignalCheck& signals) : signals_(signals) {}
  void tick() {
    if (--countdown_ != 0) return;
    countdown_ = kInterval;
    if (!PyOS_InterruptOccurred()) return;
    // Raised again for the handlers: KeyboardInterrupt is thrown from here,
    // unless a handler of the program's own takes it and returns.
    PyErr_SetInterruptEx(SIGINT);
    signals_.check();
    handlers_ran = true;
  }
  bool handlers_ran = false;

 private:
  static constexpr std::size_t kInterval = std::size_t{1} << 14;
  SignalCheck& signals_;
  std::size_t countdown_ = kInterval;
};

}  // namespace

void StrIds::judge(PlacedColumn& column) {
  // Remembering costs a map entry per new object and saves a text's hashing
  // per repeat: it pays unless nearly every object is new, as when a loader
  // made one per cell. The first stretch is short, and judged strictly: a
  // large vocabulary shared by batch of rows also starts with new objects.
  const bool gives_up = judged_ ? 8 * misses_ > 7 * lookups_ : 64 * misses_ > 63 * lookups_;
  judged_ = true;
  if (gives_up) {
    active_ = false;
    ids_.release();
    std::vector<Recent>().swap(recent_);
    std::vector<std::uint32_t>().swap(filled_);
    // Finding each row's text id pays while the texts are few enough for
    // the interner's memory of recent texts; past that, the fit finds them
    // quicker, in parallel chunks, and rows keep their own texts.
    if (column.numbers_texts() && column.distinct_texts() > kFewTexts) {
      column.keep_texts_flat_now();
    }
  }
  lookups_ = 0;
  misses_ = 0;
}

std::size_t read_plain_range(PyArrayObject* array, std::size_t begin, std::size_t end,
                             PlacedColumn& column, StrIds& ids, PoolStop& stop) {
  const char* const base = PyArray_BYTES(array);
  const npy_intp stride = PyArray_STRIDE(array, 0);
  const auto cell_at = [&](std::size_t i) {
    PyObject* cell;
    std::memcpy(&cell, base + static_cast<npy_intp>(i) * stride, sizeof cell);
    return cell != nullptr ? cell : Py_None;
  };
  for (std::size_t i = begin; i < end;) {
    const std::size_t stretch_end = std::min(end, i + kStretchRows);
    while (ids.remembering() && i < stretch_end) {
      if (i + kObjectsAhead < end) __builtin_prefetch(cell_at(i + kObjectsAhead));
      PyObject* const cell = cell_at(i);
      if (!ids.add_repeat(cell, column)) {
        if (!add_plain_cell(cell, column)) return i - begin;
        ids.remember(cell, column);
      }
      ++i;
    }
    // Once remembering is given up, the loop of one object per cell.
    for (; i < stretch_end; ++i) {
      if (i + kObjectsAhead < end) __builtin_prefetch(cell_at(i + kObjectsAhead));
      if (!add_plain_cell(cell_at(i), column)) return i - begin;
    }
    column.judge_repeats();
    if (stop.should_stop()) return i - begin;
  }
  return end - begin;
}

bool read_rest_in_order(PyArrayObject* array, std::size_t j, std::size_t from, std::size_t rows,
                        PlacedColumn& column, StrIds& ids, SignalCheck& signals) {
  bool ran_code = false;
  std::size_t row = from;
  InterruptLook look(signals);
  read_object_column_in_order(array, 1, j, from, rows, look, [&](PyObject* cell) {
    if (look.handlers_ran) {
      look.handlers_ran = false;
      ran_code = true;
      ids.forget();
    }
    if (!ids.add_repeat(cell, column)) {
      if (add_plain_cell(cell, column)) {
        ids.remember(cell, column);
      } else {
        // Its conversion may run Python code, which may free objects and
        // make new ones at their addresses.
        ran_code = true;
        add_table_cell(cell, column);
        ids.forget();
      }
    }
    if (++row % kStretchRows == 0) column.judge_repeats();
  });
  return ran_code || look.handlers_ran;
}

}  // namespace colenc::py
