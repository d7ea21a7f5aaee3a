// symbol_scope.hpp - symbols whose texts live only as long as one job.
//
// The process-wide table keeps every text forever, which suits fixed texts
// (rule patterns, variable and rule names) but not the operators of one
// e-graph run, which change from run to run. A SymbolScope interns texts the
// same way, but owns them: its symbols are numbered from 1 in first-seen
// order and mean something only together with the scope that made them.
// One e-graph run takes all its operators, those of its rules included
// (see `scoped`), from one scope.
#pragma once

#include <cstdint>
#include <memory_resource>
#include <string_view>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "egraph/pattern.hpp"
#include "egraph/symbol.hpp"

namespace korvane::egraph {

/// Interned texts owned by the scope. Equal texts give equal symbols within
/// one scope; a symbol of another scope or of the process-wide table must
/// not be resolved here. Not thread-safe; not movable (symbols refer to its
/// storage).
class SymbolScope {
 public:
  SymbolScope() = default;
  SymbolScope(const SymbolScope&) = delete;
  SymbolScope& operator=(const SymbolScope&) = delete;

  /// The scope's symbol of `text`, interning it on first sight.
  Symbol intern(std::string_view text);
  /// The text of a symbol this scope returned, valid while the scope lives.
  /// Throws InternalError for any other symbol.
  std::string_view resolve(Symbol symbol) const;
  /// How many texts the scope holds.
  std::size_t size() const noexcept { return texts_.size(); }

 private:
  struct TextHash {
    using is_avalanching = void;
    std::size_t operator()(std::string_view text) const noexcept;
  };

  std::pmr::monotonic_buffer_resource arena_;  // the texts' bytes
  std::vector<std::string_view> texts_;        // by symbol value - 1
  boost::unordered_flat_map<std::string_view, Symbol, TextHash> symbols_;
};

/// `rule` with the operators of both its patterns taken from `scope`
/// (variables and the rule name stay as they are).
Rewrite scoped(const Rewrite& rule, SymbolScope& scope);

}  // namespace korvane::egraph
