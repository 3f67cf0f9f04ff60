// The failures of the cell typing: a Python error met while a cell was read
// or converted becomes an internal failure, unless it is an interrupt or
// another error that must travel on unchanged.
#include "python/cells/cell_typing.hpp"

#include "python/runtime/errors.hpp"
#include "python/runtime/panic.hpp"

namespace colenc::py {

void fail_str_conversion() { fail_from_python("cant convert to str"); }

}  // namespace colenc::py
