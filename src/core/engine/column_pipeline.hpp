// ColumnPipeline: encodes a table's columns group by group on the pool while
// the caller goes on reading the next group, so that reading and fitting
// overlap and each group's cells are freed once its codes are written.
#pragma once

#include <oneapi/tbb/task_arena.h>
#include <oneapi/tbb/task_group.h>

#include <atomic>
#include <cstddef>
#include <deque>
#include <optional>
#include <span>
#include <vector>

#include "core/columns/matrix.hpp"
#include "core/columns/typed_columns.hpp"
#include "core/engine/transform_columns.hpp"
#include "core/labels/encoding_info.hpp"

namespace colenc {

class ColumnPipeline {
 public:
  // Prepares the encoding of a table of `column_count` columns into
  // `matrix_buffer` (laid out as `order` says). Groups run inside `arena`,
  // which must outlive the pipeline. With `fit` set (borrowed, alive until
  // the pipeline is destroyed) it prepares a transform instead: each group is
  // coded with the fit rather than fitted.
  // REQUIRES: matrix_buffer holds row_count * column_count cells (checked
  //           against each group's row_count: throws InternalError).
  ColumnPipeline(std::span<double> matrix_buffer, std::size_t column_count, MatrixOrder order,
                 tbb::task_arena& arena, const AppliedFit* fit = nullptr);
  ColumnPipeline(const ColumnPipeline&) = delete;
  ColumnPipeline& operator=(const ColumnPipeline&) = delete;
  // Waits for the groups still running; their failures are dropped, since
  // the pipeline is only destroyed unfinished when the call has failed.
  ~ColumnPipeline();

  // Hands over the next group: the columns that follow those submitted
  // before. The pool encodes it while the caller goes on; when the pool is
  // already busy with enough groups (so memory stays bounded), or the group
  // is too small to be worth a task, the calling thread encodes it itself,
  // and an InternalError of it is thrown here. The group's columns are
  // destroyed on the calling thread, by finish() or the destructor: borrowed
  // memory may need a lock to let go.
  // REQUIRES: the group fits in the columns not yet submitted (else throws
  //           InternalError).
  void submit(TypedColumns&& group);

  // Waits for every group and returns the fitted record of the table (an
  // empty one for a transform); throws the first InternalError that a group
  // raised.
  // REQUIRES: every column submitted (else throws InternalError).
  EncodingInfo finish();

  // After finish() of a transform whose fit names unknown cells: the first
  // unknown cell of the table, by column and then row.
  const std::optional<UnknownCell>& first_unknown() const { return first_unknown_; }

 private:
  struct Group {
    TypedColumns columns;
    std::size_t first_column;
    std::vector<ColumnEncoding> encodings;
    std::optional<UnknownCell> unknown;  // a transform's first unknown cell
  };
  void encode(Group& group);
  void wait_all();

  std::span<double> matrix_buffer_;
  std::size_t column_count_;
  MatrixOrder order_;
  tbb::task_arena& arena_;
  tbb::task_group tasks_;
  std::size_t in_flight_limit_;
  const AppliedFit* fit_ = nullptr;  // set for a transform
  std::atomic<std::size_t> in_flight_{0};
  std::deque<Group> groups_;  // a deque: a running group's address never moves
  std::size_t next_column_ = 0;
  bool waited_ = true;
  std::optional<UnknownCell> first_unknown_;
};

}  // namespace colenc
