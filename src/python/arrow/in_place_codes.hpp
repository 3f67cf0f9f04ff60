// InPlaceCodes: a float64 column of an imported Arrow table that decode reads
// its codes from where they lie, rather than from a copy in the matrix: the
// column becomes labels anyway. The batch stays alive until the call ends and
// is let go of on the calling thread; no result holds it.
#pragma once

#include <memory>

namespace colenc::py {

struct InPlaceCodes {
  const double* cells = nullptr;  // null: the column was read into the matrix
  std::shared_ptr<const void> keep;
};

}  // namespace colenc::py
