#include "python/readers/frame_stored_columns.hpp"

#include <cstddef>
#include <functional>

#include <oneapi/tbb/blocked_range.h>

#include "core/engine/pool.hpp"
#include "python/runtime/numpy_api.hpp"
#include "python/readers/frame_numeric_column.hpp"

namespace colenc::py {

void read_stored_columns(std::span<const ColumnStorage> storage,
                         std::span<DistinctValuesColumn> distinct, TypedColumns& columns,
                         std::span<double> placed, const std::vector<bool>* keep_in_place,
                         std::vector<InPlaceColumn>& in_place) {
  const std::size_t rows = columns.row_count;
  std::vector<std::function<void()>> reads;
  for (std::size_t j = 0; j < storage.size(); ++j) {
    const ColumnStorage& column = storage[j];
    if (column.kind != StorageKind::kNumeric) continue;
    auto* array = reinterpret_cast<PyArrayObject*>(column.storage.get());
    if (keep_in_place != nullptr && (*keep_in_place)[j] &&
        keep_numeric_column_in_place(column.series.get(), array, j, columns, in_place[j])) {
      continue;
    }
    reads.emplace_back(numeric_column_read(array, column.read, j, columns, placed));
  }
  for (DistinctValuesColumn& column : distinct) {
    reads.emplace_back([&column, rows] { factorize_distinct_values(column, rows); });
  }
  if (reads.size() < 2) {
    for (const auto& read : reads) read();
    return;
  }
  pool_execute(process_arena(), [&] {
    pool_for(tbb::blocked_range<std::size_t>(0, reads.size(), 1),
             [&](const tbb::blocked_range<std::size_t>& range) {
               for (std::size_t k = range.begin(); k < range.end(); ++k) reads[k]();
             });
  });
}

}  // namespace colenc::py
