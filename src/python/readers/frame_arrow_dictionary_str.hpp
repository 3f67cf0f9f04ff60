// The reader of a pd.ArrowDtype column of dictionaries of utf8 or large_utf8
// strings: every cell is text, so each row refers by id to an entry made from
// the dictionary slot it uses, once per dictionary, read from the Arrow
// buffers with every index checked.
#pragma once

#include <Python.h>

#include <cstddef>

#include "core/columns/typed_columns.hpp"
#include "python/readers/frame_arrow_chunks.hpp"

namespace colenc::py {

// True when `chunks` hold a dictionary of utf8 or large_utf8 strings whose
// null cell, `missing` (borrowed), does not read as a number: every cell is
// text, and rows refer to the texts of the dictionary slots they use.
bool is_arrow_text_dictionary(const ArrowColumnChunks& chunks, PyObject* missing);

// Reads `chunks` into column j of `columns`, text from its first row: the
// texts that rows use become the column's entries, once per dictionary, and
// each row refers to its entry by id; a null row, or one whose slot is null,
// refers to the entry of the text of `missing` (borrowed). Values that no row
// uses are not labels. Throws InternalError for an index outside its
// dictionary or arrays that break their layout.
// REQUIRES: is_arrow_text_dictionary(chunks, missing), an empty column j.
void read_arrow_dictionary_str_column(const ArrowColumnChunks& chunks, PyObject* missing,
                                      std::size_t j, TypedColumns& columns);

}  // namespace colenc::py
