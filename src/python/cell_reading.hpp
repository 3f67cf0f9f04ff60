// Kept only for build_output.cpp, which takes SignalCheck from here; the cell
// reading it once held lives in cells/ and readers/ now.
#pragma once

#include "core/typed_columns.hpp"
#include "python/numpy_api.hpp"
#include "python/py_ref.hpp"
#include "python/signal_check.hpp"
