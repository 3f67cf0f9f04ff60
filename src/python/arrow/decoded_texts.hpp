// Decoding a column of codes into an Arrow text column in colenc's own
// memory: each row the UTF-8 bytes of its code's label, with no Python str.
#pragma once

#include <cstddef>
#include <memory>

#include "core/labels/label_maps.hpp"
#include "python/arrow/exported_table.hpp"

namespace colenc::py {

// Returns the labels of `rows` codes from `cells` as a string_view column
// when `views` (each label of more than 12 bytes stored once, rows pointing
// at it), else as large_string. A row is null for NaN and for a code without
// a label; codes are truncated toward zero. Runs in blocks of rows on the
// pool; throws std::bad_alloc.
std::unique_ptr<ExportedTexts> decode_texts(const CodeToLabel& labels, const double* cells,
                                            std::size_t rows, bool views);

}  // namespace colenc::py
