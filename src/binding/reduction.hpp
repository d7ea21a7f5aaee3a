// reduction.hpp - what the reduce entry points of GraphStore and
// IncrementalReducer share: the report and the pair they return.
#pragma once

#include <memory>

#include "binding/pyref.hpp"
#include "optimizer/pipeline.hpp"

namespace korvane::py {

/// The report dict: the six counters under their names.
Ref report_dict(const ReductionCounters& counters);

/// The (reduced GraphStore, report) pair the reduce methods return.
Ref reduction_pair(std::unique_ptr<Store> store, const ReductionCounters& counters);

}  // namespace korvane::py
