// incremental_reducer.hpp - the IncrementalReducer class.
#pragma once

#include "binding/python.hpp"

namespace korvane::py {

/// The IncrementalReducer type's spec (its instances own an IncrementalReducer).
extern PyType_Spec incremental_reducer_spec;

}  // namespace korvane::py
