// symbol_scope.cpp - a job's own symbol table, and rules rewritten into it.
#include "egraph/symbol_scope.hpp"

#include <cstring>
#include <string>

#include "common/hash.hpp"
#include "common/internal_error.hpp"

namespace korvane::egraph {

std::size_t SymbolScope::TextHash::operator()(std::string_view text) const noexcept { return hash_bytes(text); }

Symbol SymbolScope::intern(std::string_view text) {
  if (auto found = symbols_.find(text); found != symbols_.end()) return found->second;
  char* copy = static_cast<char*>(arena_.allocate(text.size() == 0 ? 1 : text.size(), 1));
  std::memcpy(copy, text.data(), text.size());
  const std::string_view kept(copy, text.size());
  // If the map cannot take the text, the list keeps an entry that no text
  // leads to: a number left unused, nothing else.
  texts_.push_back(kept);
  const Symbol symbol(static_cast<std::uint32_t>(texts_.size()));
  symbols_.emplace(kept, symbol);
  return symbol;
}

std::string_view SymbolScope::resolve(Symbol symbol) const {
  if (symbol.raw() == 0 || symbol.raw() > texts_.size()) [[unlikely]] {
    throw InternalError("Unknown scoped symbol " + std::to_string(symbol.raw()));
  }
  return texts_[symbol.raw() - 1];
}

namespace {

Pattern scoped(const Pattern& pattern, SymbolScope& scope) {
  FlatTerm<PatternNode> term;
  for (PatternNode node : pattern.shape()) {
    if (!node.is_var()) node.as_enode().op = scope.intern(egraph::resolve(node.as_enode().op));
    term.add(std::move(node));
  }
  return Pattern(term);
}

}  // namespace

Rewrite scoped(const Rewrite& rule, SymbolScope& scope) {
  auto out = Rewrite::make(egraph::resolve(rule.name()), scoped(rule.searcher(), scope), scoped(rule.applier(), scope));
  if (!out) throw InternalError("scoped rule: " + out.error());
  return std::move(out).value();
}

}  // namespace korvane::egraph
