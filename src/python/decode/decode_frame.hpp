// The DataFrame form of decode: each text column of a frame replaced by its
// labels, filled by tasks on the pool, and the number columns that decode
// left in its input shared with the result.
#pragma once

#include <Python.h>

#include <string>
#include <vector>

#include "core/labels/encoding_info.hpp"
#include "python/decode/cell_view.hpp"
#include "python/input/in_place_column.hpp"
#include "python/decode/label_str_cache.hpp"

namespace colenc::py {

// Replaces each text column of `frame` (a new DataFrame over `matrix`, named
// `names`; both borrowed, as is `pandas`) by an object column of its labels,
// None where a code has none, by position, so that columns that share a name
// each receive their own labels. A column found in `in_place` is decoded
// from the input frame's column there, and each number column found there is
// put into the result as pandas shares a column. Labels' strs are taken from
// `cache` (may be null) and kept there. Throws PythonError or InternalError.
void decode_frame(PyObject* pandas, PyObject* frame, const CellView& matrix,
                  const std::vector<std::string>& names, const EncodingInfo& info,
                  const std::vector<InPlaceColumn>& in_place, LabelStrCache* cache);

}  // namespace colenc::py
