// rule_set.hpp - the RuleSet class: each instance owns one compiled,
// immutable set of user rewrite rules with its costs and limits.
#pragma once

#include "binding/python.hpp"
#include "optimizer/user_rules.hpp"

namespace korvane::py {

/// The RuleSet type as PyType_FromSpec makes it (its instances own a UserRules).
extern PyType_Spec rule_set_spec;

/// The rules of a `rules=` argument: null for None or left out (`obj`
/// null); TypeError naming `function` for anything but a RuleSet.
const UserRules* to_rule_set(PyObject* obj, const char* function);

}  // namespace korvane::py
