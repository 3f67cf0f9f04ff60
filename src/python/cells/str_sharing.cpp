// How a column's str objects repeat, judged from a sample of its cells without
// running Python code: whether a column's repeats are worth remembering by
// object, and whether a table's objects were made one per cell, as a loader
// makes them.
#include "python/cells/str_sharing.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "python/cells/cell_typing.hpp"
#include "python/cells/object_cell.hpp"

namespace colenc::py {
namespace {

// Orders exact str objects by text: equal texts have equal kinds, lengths
// and code units.
bool str_less(PyObject* a, PyObject* b) {
  const Py_ssize_t length_a = PyUnicode_GET_LENGTH(a);
  const Py_ssize_t length_b = PyUnicode_GET_LENGTH(b);
  if (length_a != length_b) return length_a < length_b;
  if (PyUnicode_KIND(a) != PyUnicode_KIND(b)) return PyUnicode_KIND(a) < PyUnicode_KIND(b);
  return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                     static_cast<std::size_t>(length_a) * PyUnicode_KIND(a)) < 0;
}

// Cells of a column that are looked at to judge how its str objects repeat.
// A tall column gets a larger sample: a vocabulary of 10,000 shared words
// shows hardly a repeat among 64 cells, but dozens among 1,024.
constexpr std::size_t kShareSample = 64;
constexpr std::size_t kTallSample = 1024;

// Returns the exact str cells (borrowed) among up to `count` cells spread
// over column `column` (see column_shares_str_objects), and counts in
// `not_plain` (when given) the sampled cells that only the interpreter can add.
std::vector<PyObject*> sample_strs(PyArrayObject* array, int ndim, std::size_t column,
                                   std::size_t rows, std::size_t count = kShareSample,
                                   std::size_t* not_plain = nullptr) {
  std::vector<PyObject*> sample;
  const std::size_t step = std::max<std::size_t>(1, rows / count);
  for (std::size_t i = 0; i < rows && sample.size() < count; i += step) {
    const npy_intp index[2] = {static_cast<npy_intp>(i), static_cast<npy_intp>(column)};
    PyObject* cell = object_cell(array, index, ndim);
    if (cell == nullptr) continue;
    if (PyUnicode_CheckExact(cell)) {
      sample.push_back(cell);
    } else if (not_plain != nullptr && !is_plain_cell(cell, false)) {
      ++*not_plain;
    }
  }
  return sample;
}

// Tallies of a sample: its str cells, and the distinct objects and texts
// among them.
struct StrTally {
  std::size_t cells = 0;
  std::size_t objects = 0;
  std::size_t texts = 0;

  // Adds `strs`, exact str objects, which it reorders.
  void add(std::vector<PyObject*>& strs) {
    cells += strs.size();
    std::sort(strs.begin(), strs.end());
    strs.erase(std::unique(strs.begin(), strs.end()), strs.end());
    objects += strs.size();
    std::sort(strs.begin(), strs.end(), str_less);
    for (std::size_t k = 0; k < strs.size(); ++k) {
      if (k == 0 || str_less(strs[k - 1], strs[k])) ++texts;
    }
  }
  // Cells that repeat an earlier sampled object, against those that repeat an
  // earlier sampled text: shared objects repeat about as often as their texts.
  bool objects_repeat_like_texts() const { return 2 * (cells - objects) >= cells - texts; }
};

}  // namespace

StrRepeats column_str_repeats(PyArrayObject* array, int ndim, std::size_t column,
                              std::size_t rows) {
  std::size_t not_plain = 0;
  std::vector<PyObject*> strs = sample_strs(array, ndim, column, rows, kTallSample, &not_plain);
  StrTally tally;
  tally.add(strs);
  return StrRepeats{.texts_distinct = tally.texts == tally.cells,
                    .meets_interpreter = not_plain > 0};
}

bool column_shares_str_objects(PyArrayObject* array, int ndim, std::size_t column,
                               std::size_t rows) {
  if (rows < kFewestRowsToShare) return false;
  std::vector<PyObject*> strs = sample_strs(array, ndim, column, rows);
  StrTally tally;
  tally.add(strs);
  return tally.objects_repeat_like_texts();
}

bool objects_made_per_cell(PyArrayObject* array, std::size_t rows, std::size_t columns) {
  constexpr std::size_t kColumns = 8;
  if (rows < kFewestRowsToShare) return false;
  StrTally tally;
  for (std::size_t j = 0; j < columns; j += std::max<std::size_t>(1, columns / kColumns)) {
    std::vector<PyObject*> strs = sample_strs(array, 2, j, rows);
    tally.add(strs);
  }
  return !tally.objects_repeat_like_texts();
}

}  // namespace colenc::py
