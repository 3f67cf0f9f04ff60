// The column labels of a DataFrame, read as the texts that name its columns.
#pragma once

#include <Python.h>

#include <string>
#include <vector>

#include "python/runtime/py_ref.hpp"

namespace colenc::py {

// Reads `frame.columns` (frame borrowed): its labels when all are str, else
// labels.tolist() as 64-bit integers written in decimal. Throws PythonError
// with the interpreter's exception set when neither reading works. When
// `text_labels` is not null, it is given the `columns` object itself when
// every label is exactly a str (the result's labels are then the input's),
// and is left null otherwise.
std::vector<std::string> read_column_labels(PyObject* frame, PyRef* text_labels = nullptr);

}  // namespace colenc::py
