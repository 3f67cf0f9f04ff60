// Where the cells of a DataFrame of a few rows (a one-row call at serving
// time) are read from, chosen from the frame's blocks: its storage readers
// when a column has a pd.ArrowDtype, else the cells of its `values`. Where `values` is an object
// array, the same array is made here block by block, for far less than
// pandas' own interleaving of the blocks costs on a few rows: every block
// gives its cells as pandas' `values` gives them (its get_values(object)),
// NumPy blocks, pandas' strings and categories of NumPy values or strings
// read here, any other block asked for them.
#pragma once

#include <Python.h>

#include "python/input/table_shape.hpp"
#include "python/runtime/py_ref.hpp"

namespace colenc::py {

enum class FewRowSource {
  kStorage,      // some column has a pd.ArrowDtype: the storage readers, which
                 // alone check its Arrow arrays (pyarrow takes them as they are)
  kValues,       // the frame's `values`
  kBlockValues,  // `values` as made here (FewRowRead::values)
};

struct FewRowRead {
  FewRowSource source = FewRowSource::kValues;
  // kBlockValues: the 2-D object array of `values`, cell for cell: each cell
  // the object `values` holds there, or one of the same type and value.
  PyRef values;
};

// Chooses where the cells of `frame` (borrowed), a DataFrame of `shape` of at
// most a few rows, are read from. A subclass of pandas.DataFrame, whose cells may read
// otherwise, takes `values`. Throws PythonError for an interrupt or the
// interpreter running out of memory; any other failure to read the blocks
// only sends the frame through `values`.
FewRowRead few_row_source(PyObject* frame, Shape shape);

}  // namespace colenc::py
