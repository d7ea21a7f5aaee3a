// reduction.hpp - what the reduce entry points of GraphStore and
// IncrementalReducer share: the outputs argument (serialize takes it the
// same way) and the report.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "binding/pyref.hpp"
#include "optimizer/pipeline.hpp"

namespace korvane::py {

/// Converts an `outputs` argument: nullopt for None or left out, else the
/// listed ids in order, duplicates kept.
std::optional<std::vector<NodeId>> to_outputs(PyObject* obj);

/// Raises ValueError "no node with id N" for the first id not below `count`.
void check_outputs(const std::vector<NodeId>& ids, uint64_t count);

/// The report dict: the six counters under their names.
Ref report_dict(const ReductionCounters& counters);

/// The (reduced GraphStore, report) pair the reduce methods return.
Ref reduction_pair(std::unique_ptr<Store> store, const ReductionCounters& counters);

}  // namespace korvane::py
