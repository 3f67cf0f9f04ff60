// The reader of a DataFrame column of Arrow strings (utf8, large_utf8 or
// utf8_view, or dictionaries of utf8 or large_utf8): pandas' str dtype with
// Arrow storage and pd.ArrowDtype string columns. Cells are read from the
// Arrow buffers, chunk by chunk, and the one array of a whole column is
// borrowed where it lies; dictionaries go to frame_arrow_dictionary_str.
#pragma once

#include <Python.h>

#include <cstddef>
#include <memory>
#include <string_view>

#include "core/columns/typed_columns.hpp"
#include "python/readers/frame_arrow_chunks.hpp"
#include "python/readers/frame_arrow_dictionary_str.hpp"
#include "python/runtime/signal_check.hpp"

namespace colenc::py {

// True when `format` is an Arrow string type this reader reads: utf8 ("u"),
// large_utf8 ("U") or utf8_view ("vu").
bool is_arrow_text_format(std::string_view format);

// Reads `chunks`, the Arrow arrays of a column of strings, into column j of
// `columns`; a null cell is `missing` (borrowed), the object a null stands for
// in the frame's `values`, and is typed as that cell would be. Every offset,
// view and buffer is checked before it is read; throws InternalError for
// arrays that break their layout.
// REQUIRES: is_arrow_text_format(chunks->format()) or is_arrow_text_dictionary,
// the arrays hold row_count cells.
void read_arrow_str_column(const std::shared_ptr<const ArrowColumnChunks>& chunks,
                           PyObject* missing, std::size_t j, TypedColumns& columns,
                           SignalCheck& signals);

}  // namespace colenc::py
