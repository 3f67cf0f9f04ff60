// Which library's object a result is made as: NumPy/pandas for arrays and
// pandas frames, polars or pyarrow for tables read through Arrow.
#pragma once

namespace colenc::py {

enum class ResultLibrary { kNumPyPandas, kPolars, kPyArrow };

}  // namespace colenc::py
