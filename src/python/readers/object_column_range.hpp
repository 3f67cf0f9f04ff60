// Reading a range of rows of a 1-D object column into a PlacedColumn, each
// text as the id of its distinct text, whatever the way its texts are shared
// among str objects: a str object met again takes the id its first meeting
// got, without its text being hashed again (StrIds), for as long as that
// pays, and otherwise by its text (or, when the texts are many, each row
// keeps its own for the fit to find); other cells are typed as add_cell
// types them.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/columns/placed_column.hpp"
#include "core/hashing/address_ids.hpp"
#include "core/hashing/mix_bits.hpp"
#include "python/readers/ranges_on_pool.hpp"
#include "python/runtime/numpy_api.hpp"
#include "python/runtime/signal_check.hpp"

namespace colenc::py {

// The ids that one PlacedColumn gave to the str objects it met, by address.
// Holds no reference: an address stands for the same text only while the
// object is alive and no new object can take its address, that is while the
// table holds it and no Python code runs. A reader that may have run Python
// code (a cell's conversion, a signal handler) calls forget() before the next
// cell. Given up for good once nearly every object met turns out to be new
// (one object per cell), where remembering costs and saves nothing. Holds a
// bounded number of objects (AddressIds): past that it starts again, which
// costs a loader's batches of shared objects nothing, since each batch's
// objects are met in that batch alone.
class StrIds {
 public:
  // Adds `cell` (borrowed) to `column` and returns true when it is a str
  // object already remembered for it; returns false, having done nothing,
  // for any other cell.
  bool add_repeat(PyObject* cell, PlacedColumn& column) {
    // Only exact strs are remembered, and no other object can take a
    // remembered address meanwhile: a hit needs no look at the object.
    if (!active_ || ids_.empty() || !column.numbers_texts()) return false;
    const auto address = reinterpret_cast<std::uintptr_t>(cell);
    if (ids_.capacity() >= kRecentHoldsFewer) {
      // More objects than the recent slots hold: they would only miss.
      const std::uint32_t found = ids_.find(address);
      if (found == AddressIds::kNone) return false;
      column.push_id(static_cast<double>(found));
    } else {
      Recent& slot = recent_[mix_bits(address) >> kRecentShift];
      if (slot.cell != cell) {
        const std::uint32_t found = ids_.find(address);
        if (found == AddressIds::kNone) return false;
        slot = Recent{cell, static_cast<double>(found)};
      }
      column.push_id(slot.id);
    }
    ++lookups_;
    return true;
  }

  // Remembers the id that `column` just gave its last row, `cell` (borrowed),
  // when that is an exact str numbered by id.
  void remember(PyObject* cell, PlacedColumn& column) {
    if (!active_ || Py_TYPE(cell) != &PyUnicode_Type || !column.numbers_texts()) return;
    // An object that only its own cell holds is met nowhere else in the
    // table (each cell holding it is a reference): a new object per cell
    // among shared ones (a few texts made afresh) costs no map entry. It
    // still counts as new in the judgement of whether remembering pays.
    if (Py_REFCNT(cell) != 1) {
      const double id = column.last_id();
      ids_.add(reinterpret_cast<std::uintptr_t>(cell), static_cast<std::uint32_t>(id));
      if (ids_.capacity() < kRecentHoldsFewer) {
        // Made on first use: a short column may never remember an object.
        if (recent_.empty()) recent_.resize(kRecentSlots);
        const std::size_t slot = mix_bits(reinterpret_cast<std::uintptr_t>(cell)) >> kRecentShift;
        recent_[slot] = Recent{cell, id};
        if (filled_.size() < kFilledKept) filled_.push_back(static_cast<std::uint32_t>(slot));
      }
    }
    ++lookups_;
    ++misses_;
    if (lookups_ >= (judged_ ? kJudgeEvery : kFirstJudgement)) judge(column);
  }

  // False once remembering is given up.
  bool remembering() const { return active_; }

  // Forgets every object: Python code may have run, and an address met later
  // may belong to a new object.
  void forget() {
    if (ids_.empty()) return;
    ids_.release();
    // A column that mixes strs with cells that may run code forgets often:
    // only the slots filled since the last time are cleared, while few.
    if (filled_.size() < kFilledKept) {
      for (const std::uint32_t slot : filled_) recent_[slot] = Recent{};
    } else {
      recent_.assign(kRecentSlots, Recent{});
    }
    filled_.clear();
  }

 private:
  // Enough slots that the objects of a few hundred texts, shuffled, rarely
  // meet in one.
  static constexpr std::size_t kRecentSlots = 4096;
  static constexpr int kRecentShift = 52;  // 64 - log2(kRecentSlots)
  static constexpr std::size_t kFilledKept = 64;
  // Capacity of the map of remembered objects from which they outnumber
  // the recent slots.
  static constexpr std::size_t kRecentHoldsFewer = 4 * kRecentSlots;
  // Str cells before the first judgement of whether remembering pays, which
  // catches one object per cell early, and between two later ones.
  static constexpr std::size_t kFirstJudgement = std::size_t{1} << 10;
  static constexpr std::size_t kJudgeEvery = std::size_t{1} << 13;

  // Gives up when nearly every str cell of the last stretch was a new
  // object; `column` then keeps its texts flat when they are many.
  void judge(PlacedColumn& column);

  struct Recent {
    PyObject* cell = nullptr;
    double id = 0;
  };
  std::vector<Recent> recent_;
  AddressIds ids_;
  std::vector<std::uint32_t> filled_;  // slots filled since the last forget()
  std::size_t lookups_ = 0;
  std::size_t misses_ = 0;
  bool active_ = true;
  bool judged_ = false;
};

// Adds rows [begin, end) of `array` to `column` while each cell is plain
// (is_plain_cell), repeated str objects by id (`ids`); returns the rows
// added. Between stretches of rows, stops early once stop.should_stop().
// Only reads the objects (and on the calling thread, the interrupt flag): may
// run on any thread.
// REQUIRES: `array` an exact 1-D object ndarray of at least `end` cells,
// held by the caller, who holds the interpreter lock and runs no Python code
// until this returns.
std::size_t read_plain_range(PyArrayObject* array, std::size_t begin, std::size_t end,
                             PlacedColumn& column, StrIds& ids, PoolStop& stop);

// Adds rows [from, rows) of `array`, column j of its table (named in
// messages), to `column` strictly in row order on the calling thread, each
// cell as add_table_cell adds it, repeated str objects by id while no Python
// code has run since they were remembered. Looks for interrupts as it goes;
// other signals' handlers wait for the caller's next look at `signals`.
// Returns whether Python code may have run (a cell that needed the
// interpreter, or a signal handler). Throws as the cell typing does,
// InternalError when a cell is gone, PythonError for an interrupt.
// REQUIRES: the caller holds `array` and the interpreter lock.
bool read_rest_in_order(PyArrayObject* array, std::size_t j, std::size_t from, std::size_t rows,
                        PlacedColumn& column, StrIds& ids, SignalCheck& signals);

}  // namespace colenc::py
