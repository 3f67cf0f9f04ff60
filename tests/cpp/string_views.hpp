// Test helper: texts laid out as Arrow lays out a string view column, 16
// bytes a row, texts of more than 12 bytes in data buffers, and a text column
// that borrows them.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/columns/typed_columns.hpp"

namespace colenc {

// The views of some rows and the buffers of their long texts. Each long text
// is stored again for every row, in the first or the second buffer by turns,
// so that equal texts lie under different views and in different buffers.
struct StringViews {
  std::vector<char> views;
  std::vector<std::string> buffers{std::string("pad"), std::string()};

  explicit StringViews(const std::vector<std::string>& rows) : views(16 * rows.size()) {
    for (std::size_t k = 0; k < rows.size(); ++k) {
      char* view = views.data() + 16 * k;
      const auto size = static_cast<std::int32_t>(rows[k].size());
      std::memcpy(view, &size, 4);
      if (rows[k].size() <= 12) {
        std::memcpy(view + 4, rows[k].data(), rows[k].size());
        // Bytes past a short text are left as garbage: only its length counts.
        std::memset(view + 4 + rows[k].size(), 'G', 12 - rows[k].size());
        continue;
      }
      const auto buffer = static_cast<std::int32_t>(k % 2);
      const auto offset = static_cast<std::int32_t>(buffers[k % 2].size());
      buffers[k % 2] += rows[k];
      std::memcpy(view + 4, rows[k].data(), 4);
      std::memcpy(view + 8, &buffer, 4);
      std::memcpy(view + 12, &offset, 4);
    }
  }

  std::vector<const char*> buffer_addresses() const {
    return {buffers[0].data(), buffers[1].data()};
  }
};

// Returns a column borrowing the views of `rows`, which it keeps alive.
inline TextColumn borrowed_view_column(const std::vector<std::string>& rows,
                                       const BorrowedNulls& nulls = {}) {
  auto views = std::make_shared<const StringViews>(rows);
  TextColumn column;
  column.borrow_views(views->views.data(), views->buffer_addresses(), rows.size(), views, nulls);
  return column;
}

}  // namespace colenc
