// The column labels of a DataFrame, read as the texts that name its columns.
#pragma once

#include <Python.h>

#include <string>
#include <vector>

namespace colenc::py {

// Reads `frame.columns` (frame borrowed): its labels when all are str, else
// labels.tolist() as 64-bit integers written in decimal. Throws PythonError
// with the interpreter's exception set when neither reading works.
std::vector<std::string> read_column_labels(PyObject* frame);

}  // namespace colenc::py
