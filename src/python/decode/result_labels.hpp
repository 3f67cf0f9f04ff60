// The column labels of a DataFrame result, as the `columns` argument of its
// construction.
#pragma once

#include <Python.h>

#include <string>
#include <vector>

#include "python/runtime/py_ref.hpp"

namespace colenc::py {

// Returns a new reference to the `columns` of a DataFrame result labelled
// `names`: a view of `labels` (borrowed, may be null), the input frame's own
// `columns` whose labels are `names`, when it is the Index that pandas would
// make of a list of them (exactly an Index, unnamed, of the dtype pandas
// gives a list of str under the options in force); else a new list of
// `names`, of which pandas makes that Index. `pandas` is borrowed. Throws
// PythonError for an interrupt or the interpreter running out of memory.
PyRef result_columns(PyObject* pandas, const std::vector<std::string>& names, PyObject* labels);

}  // namespace colenc::py
