// Reading a DataFrame column by the distinct values its storage holds:
// category codes, masked (nullable) integer, float and boolean arrays,
// datetime64 and timedelta64 values, naive or with a time zone, and the keys
// of pd.ArrowDtype columns (frame_arrow_keys.hpp). The frame's
// `values` is asked only for the rows that first hold each distinct value;
// every row then takes the typing of its value's cell there
// (frame_distinct_values_typing.cpp).
#pragma once

#include <Python.h>

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/columns/typed_columns.hpp"
#include "core/hashing/value_factorizer.hpp"
#include "python/runtime/py_ref.hpp"

namespace colenc::py {

struct ArrowKeyColumn;  // frame_arrow_keys.cpp

// One frame column read by its distinct values.
struct DistinctValuesColumn {
  std::size_t column = 0;   // its position in the frame
  PyRef stored;             // the 1-D ndarray of its stored values
  PyRef mask;               // null, or the 1-D bool ndarray of its null rows
  std::shared_ptr<const ArrowKeyColumn> arrow;  // or else its Arrow arrays
  bool not_a_time = false;  // 64-bit datetimes or timedeltas, null where NaT
  // Datetimes (naive or in UTC) and timedeltas whose Timestamp or Timedelta
  // cells may be written here rather than by str(): the digits of a second
  // of their unit (0, 3, 6 or 9), or -1 for any other column; whether they
  // are timedeltas; the datetimes' UTC offset text.
  struct TimeForm {
    int digits = -1;
    bool timedelta = false;
    std::string_view offset;
  } time;
  FactorizedValues values;  // each row's value id, each id's first row
  // Set by type_distinct_values, one entry per value id: whether the value's
  // cell converts to float64, and to what; its str() text where the column
  // has turned to text by the time the value occurs.
  std::vector<bool> converts;
  std::vector<double> numbers;
  std::vector<std::string> texts;
  std::size_t turn_row = 0;  // the first row whose cell does not convert
};

// Returns the digits of a second of the unit of a naive datetime64 or a
// timedelta64 ndarray (borrowed): 0, 3, 6 or 9 for "s", "ms", "us" and "ns",
// by numpy.datetime_data(dtype); -1 for any other unit, one of several
// ticks, or when it cannot be told (no exception set then; an interrupt
// still propagates as PythonError).
int datetime64_digits(PyObject* array);

// Returns true, with the arrays of the column's stored values held in `out`,
// when `series` (borrowed), column j of a frame of `rows` rows whose dtype is
// `dtype` (borrowed) named `dtype_name`, is stored as one of the kinds above.
// Returns false, with no exception set, for any other storage.
bool find_distinct_values(PyObject* series, PyObject* dtype, std::string_view dtype_name,
                          std::size_t j, std::size_t rows, DistinctValuesColumn& out);

// Numbers the column's stored values, `rows` of them, into column.values.
// Runs no Python code and touches no reference count: a pool task may run
// it while the arrays stay alive and unchanged.
// REQUIRES: find_distinct_values has found the column's arrays.
void factorize_distinct_values(DistinctValuesColumn& column, std::size_t rows);

// Asks the frame's `iloc` (borrowed) for the `values` of the rows that first
// hold each distinct value of `columns` and types every value by its cell
// there, as a read of the whole frame's `values` would type it. Returns false
// when some cell is of a kind whose float() or str() might not be the same on
// every row (anything but str, float, int, bool, None, NumPy scalars,
// datetime.date and pandas' NA, NaT, Timestamp and Timedelta): the frame is
// then read through its `values`. Throws PythonError for an interrupt.
bool type_distinct_values(PyObject* iloc, std::size_t frame_columns,
                          std::span<DistinctValuesColumn> columns);

// Adds the typed column to `columns`: numbers until its turn row, into
// its run of `placed` (a column-major matrix) when that is not empty, and
// texts that share one entry per value from the turn on. A text column
// takes over the column's row ids.
// REQUIRES: type_distinct_values has typed `column`.
void add_distinct_values(DistinctValuesColumn& column, TypedColumns& columns,
                          std::span<double> placed);

}  // namespace colenc::py
