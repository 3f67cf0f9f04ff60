// build_output: turns a float64 matrix into encode's or decode's result, a
// float64 ndarray or a pandas DataFrame; given an EncodingInfo it writes each
// text column's labels in place of its codes.
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <vector>

#include "core/columns/matrix.hpp"
#include "core/labels/encoding_info.hpp"
#include "python/arrow/in_place_codes.hpp"
#include "python/arrow/result_library.hpp"
#include "python/decode/label_str_cache.hpp"
#include "python/input/in_place_column.hpp"
#include "python/runtime/py_ref.hpp"

namespace colenc::py {

// Returns a new reference to the result, taking over `matrix` as the storage
// of its float64 array: an ndarray or a pandas DataFrame, or for `library`
// polars or pyarrow a table of that library (see arrow_export.hpp). `info` may be null (no
// decoding). A DataFrame's text columns found in `in_place` (empty, or one entry per column) are
// decoded from there rather than from the matrix. Labels' strs are taken from `cache` (may be null)
// and kept there. `column_labels` (borrowed, may be null) is the input frame's `columns` when its
// labels are `column_names`, each exactly a str: the DataFrame takes a view of it when it is the
// Index pandas would make of them, rather than making that Index anew. An Arrow result's text
// columns found in `arrow_in_place` (empty, or one entry per column) are decoded from there.
// Throws PythonError (NumPy or pandas raised) or InternalError.
PyRef build_output(const std::optional<std::vector<std::string>>& column_names, Matrix matrix,
                   const EncodingInfo* info, const std::vector<InPlaceColumn>& in_place = {},
                   LabelStrCache* cache = nullptr,
                   ResultLibrary library = ResultLibrary::kNumPyPandas,
                   PyObject* column_labels = nullptr,
                   const std::vector<InPlaceCodes>& arrow_in_place = {});

// Returns decode's result for a 2-D float64 ndarray (borrowed, native byte
// order, any strides), reading its cells where they lie instead of from a
// copy: the object array that the array form of decoding gives for it.
PyRef decode_float64_array(PyObject* array, const EncodingInfo& info, LabelStrCache* cache);

}  // namespace colenc::py
