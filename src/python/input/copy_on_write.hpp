// Whether pandas shares column memory between frames copy-on-write, so that
// decode may hand a number column of its input to its result without a copy.
#pragma once

namespace colenc::py {

// True when the loaded pandas copies a shared column before any write to it,
// through either frame: always from pandas 3 on. False when pandas is not
// loaded or its version cannot be read. Throws PythonError for an interrupt.
bool pandas_copies_on_write();

}  // namespace colenc::py
