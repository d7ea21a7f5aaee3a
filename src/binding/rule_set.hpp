// rule_set.hpp - the RuleSet class: each instance owns one compiled,
// immutable set of user rewrite rules with its costs and limits.
#pragma once

#include "binding/python.hpp"
#include "optimizer/user_rules.hpp"

namespace korvane::py {

/// Creates the process-wide RuleSet type on first call; returns a borrowed
/// reference to it (null with an exception set on failure).
PyObject* rule_set_type();

/// The rules of a `rules=` argument: null for None or left out (`obj`
/// null); TypeError naming `function` for anything but a RuleSet.
const UserRules* to_rule_set(PyObject* obj, const char* function);

}  // namespace korvane::py
