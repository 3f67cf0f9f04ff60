// The Encoder type: created once per process from a PyType_Spec and shared by
// every module object.
#pragma once

#include <Python.h>

namespace colenc::py {

// Returns a borrowed reference to the Encoder type, creating it on first use;
// NULL with an exception set if creation fails.
PyObject* encoder_type();

}  // namespace colenc::py
