// The column pipeline: groups of columns become tasks of the pool's task
// group as they are handed over; results are gathered in column order.
#include "core/engine/column_pipeline.hpp"

#include <string>
#include <utility>

#include "core/engine/encode_columns.hpp"
#include "core/engine/pool.hpp"
#include "core/internal_error.hpp"

namespace colenc {

ColumnPipeline::ColumnPipeline(std::span<double> matrix_buffer, std::size_t column_count,
                               MatrixOrder order, tbb::task_arena& arena, const AppliedFit* fit)
    : matrix_buffer_(matrix_buffer),
      column_count_(column_count),
      order_(order),
      arena_(arena),
      // One group queued behind each running one keeps every worker busy; a
      // pool of one thread (or a forked-away one) runs every group on the caller.
      in_flight_limit_(2 * static_cast<std::size_t>(pool_concurrency(arena) - 1)),
      fit_(fit) {}

ColumnPipeline::~ColumnPipeline() {
  try {
    wait_all();
  } catch (...) {
    // The call is already failing; this group's failure adds nothing.
  }
}

void ColumnPipeline::encode(Group& group) {
  if (fit_ != nullptr) {
    group.unknown = transform_columns(std::move(group.columns), matrix_buffer_, arena_, order_,
                                      group.first_column, column_count_, *fit_);
    return;
  }
  group.encodings = encode_columns(std::move(group.columns), matrix_buffer_, arena_, order_,
                                   group.first_column, column_count_);
}

void ColumnPipeline::wait_all() {
  if (waited_) return;
  waited_ = true;
  pool_execute(arena_, [&] { tasks_.wait(); });
}

void ColumnPipeline::submit(TypedColumns&& group) {
  if (group.column_count > column_count_ - next_column_) {
    throw InternalError("a group of " + std::to_string(group.column_count) +
                        " columns handed over after " + std::to_string(next_column_) + " of " +
                        std::to_string(column_count_));
  }
  Group& placed = groups_.emplace_back(Group{std::move(group), next_column_, {}, std::nullopt});
  next_column_ += placed.columns.column_count;
  const std::size_t cells = placed.columns.row_count * placed.columns.column_count;
  if (in_flight_.load() >= in_flight_limit_ || cells < kCellsWorthATask) {
    pool_execute(arena_, [&] { encode(placed); });
    return;
  }
  in_flight_.fetch_add(1);
  waited_ = false;
  pool_execute(arena_, [&] {
    tasks_.run([this, &placed] {
      struct Done {
        std::atomic<std::size_t>& count;
        ~Done() { count.fetch_sub(1); }
      } done{in_flight_};
      encode(placed);
    });
  });
}

EncodingInfo ColumnPipeline::finish() {
  wait_all();
  if (next_column_ != column_count_) {
    throw InternalError(std::to_string(next_column_) + " of " + std::to_string(column_count_) +
                        " columns were handed over");
  }
  std::vector<bool> column_is_text;
  column_is_text.reserve(column_count_);
  std::vector<ColumnEncoding> encodings;
  for (Group& group : groups_) {
    if (group.unknown && !first_unknown_) first_unknown_ = std::move(group.unknown);
    if (fit_ != nullptr) continue;
    column_is_text.insert(column_is_text.end(), group.columns.column_is_text.begin(),
                          group.columns.column_is_text.end());
    for (ColumnEncoding& encoding : group.encodings) encodings.push_back(std::move(encoding));
  }
  std::deque<Group>().swap(groups_);
  if (fit_ != nullptr) return EncodingInfo();
  return assemble_encoding_info(std::move(encodings), column_is_text);
}

}  // namespace colenc
