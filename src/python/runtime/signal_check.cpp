// SignalCheck's look: the interpreter's signal handlers run here, on the
// calling thread, which holds the interpreter lock.
#include "python/runtime/signal_check.hpp"

#include <Python.h>

#include "python/runtime/panic.hpp"

namespace colenc::py {

void SignalCheck::check_now() {
  countdown_ = kInterval;
  if (PyErr_CheckSignals() < 0) throw PythonError{};
}

}  // namespace colenc::py
