// Results as Arrow tables: the float64 matrix and the decoded text columns
// exported through the Arrow C stream interface by a small exporter object,
// handed to polars.DataFrame or pyarrow.table. The float64 columns are the
// matrix's own cells, kept alive by the exported arrays; nothing is copied.
#pragma once

#include <Python.h>

#include <string>
#include <vector>

#include "core/columns/matrix.hpp"
#include "core/labels/encoding_info.hpp"
#include "python/arrow/in_place_codes.hpp"
#include "python/arrow/result_library.hpp"
#include "python/runtime/py_ref.hpp"

namespace colenc::py {

// Returns a new reference to a polars.DataFrame or a pyarrow.Table (as
// `library` says) of float64 columns named `names`, over the cells of
// `matrix`, which it takes over. With `info` (may be null), each text column
// it lists is decoded: a large_string column of the labels of its codes, null
// for NaN and for a code without a label; codes are truncated toward zero.
// Throws PythonError (ImportError when pyarrow is absent, or the library's
// exception) or InternalError ("no entry found for key", a column beyond the
// matrix). A text column found in `in_place` (empty, or one entry per
// column) has its codes there rather than in its run of the matrix.
// REQUIRES: matrix.order is column-major; names.size() == matrix.cols.
PyRef build_arrow_output(const std::vector<std::string>& names, Matrix matrix,
                         const EncodingInfo* info, ResultLibrary library,
                         const std::vector<InPlaceCodes>& in_place = {});

}  // namespace colenc::py
