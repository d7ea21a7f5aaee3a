// incremental_reducer.hpp - the IncrementalReducer class.
#pragma once

#include "binding/python.hpp"

namespace korvane::py {

/// The IncrementalReducer type as PyType_FromSpec makes it (its instances own an IncrementalReducer).
extern PyType_Spec incremental_reducer_spec;

}  // namespace korvane::py
