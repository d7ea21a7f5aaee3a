// substitution.hpp - the classes that a match binds its variables to.
//
// A short ordered list of (variable, class id) pairs, at most one per
// variable, scanned linearly; up to three pairs are held without a heap
// block, which covers every rule of the optimizer.
#pragma once

#include <optional>
#include <string>

#include <boost/container/small_vector.hpp>

#include "common/internal_error.hpp"
#include "egraph/node.hpp"
#include "egraph/term.hpp"

namespace korvane::egraph {

/// One variable's class in a substitution.
struct Binding {
  Var var;
  ClassId id;
  friend constexpr bool operator==(const Binding&, const Binding&) noexcept = default;
};

/// Ordered (variable, class) pairs with at most one pair per variable.
class Substitution {
 public:
  Substitution() = default;
  Substitution(std::initializer_list<Binding> bindings) {
    for (const Binding& binding : bindings) insert(binding.var, binding.id);
  }

  /// Binds `var` to `id`, replacing its id when it is already bound.
  void insert(Var var, ClassId id) {
    for (Binding& binding : bindings_) {
      if (binding.var == var) {
        binding.id = id;
        return;
      }
    }
    bindings_.push_back(Binding{var, id});
  }

  /// The class bound to `var`, if any.
  std::optional<ClassId> get(Var var) const noexcept {
    for (const Binding& binding : bindings_) {
      if (binding.var == var) return binding.id;
    }
    return std::nullopt;
  }

  /// The class bound to `var`; an unbound variable is an internal error.
  ClassId at(Var var) const {
    if (auto id = get(var)) return *id;
    throw InternalError("Substitution does not bind " + std::string(to_string(var)));
  }

  std::size_t size() const noexcept { return bindings_.size(); }
  bool empty() const noexcept { return bindings_.empty(); }
  const Binding* begin() const noexcept { return bindings_.data(); }
  const Binding* end() const noexcept { return bindings_.data() + bindings_.size(); }
  void reserve(std::size_t count) { bindings_.reserve(count); }

  friend bool operator==(const Substitution& a, const Substitution& b) { return a.bindings_ == b.bindings_; }

 private:
  boost::container::small_vector<Binding, 3> bindings_;
};

/// The substitutions found in one class. Most classes hold one match, which
/// stays inline: a search yielding hundreds of thousands of matches would
/// otherwise allocate (and later free) a block for each.
using Substitutions = boost::container::small_vector<Substitution, 1>;

}  // namespace korvane::egraph
