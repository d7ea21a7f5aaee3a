// incremental_reducer.hpp - the IncrementalReducer class.
#pragma once

#include "binding/python.hpp"

namespace korvane::py {

/// Creates the process-wide IncrementalReducer type on first call; returns a
/// borrowed reference to it (null with an exception set on failure).
PyObject* incremental_reducer_type();

}  // namespace korvane::py
