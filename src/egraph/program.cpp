// program.cpp - the pattern compiler.
//
// Starting from the root in register 0, the compiler repeatedly takes the
// pending operator node with the best key (all variables bound first, then
// most unbound variables, then smallest subtree) and emits a Lookup for it
// when it is fully bound, else a Bind that loads its children.
#include "egraph/program.hpp"

#include <algorithm>
#include <map>
#include <optional>
#include <tuple>

#include "common/internal_error.hpp"

namespace korvane::egraph {
namespace {

class PatternCompiler {
 public:
  explicit PatternCompiler(const FlatTerm<PatternNode>& shape) : shape_(shape) {}

  Program compile() {
    check(!shape_.empty(), "Cannot compile an empty pattern");
    record_subtrees();
    schedule(static_cast<ClassId>(shape_.size() - 1), 0);
    Reg next_out = 1;
    while (!pending_.empty()) {
      auto entry = take_best();
      const ClassId position = entry.first.first;
      const Reg reg = entry.first.second;
      const SymbolLang& node = shape_[position].as_enode();
      if (unbound_count(position) == 0 && !node.children.empty()) {
        instructions_.emplace_back(Lookup{lookup_term(position), reg});
        continue;
      }
      const Reg out = next_out;
      SymbolLang shape_of{node.op, Children(std::vector<ClassId>(node.children.size(), 0))};
      instructions_.emplace_back(Bind{std::move(shape_of), reg, out});
      for (std::uint32_t m = 0; m < node.children.size(); ++m) schedule(node.children[m], out + m);
      next_out += node.children.size();
    }
    return Program{std::move(instructions_), std::move(var_registers_)};
  }

 private:
  /// Free variables (sorted, unique) and operator counts of every subtree.
  void record_subtrees() {
    free_vars_.resize(shape_.size());
    subtree_sizes_.resize(shape_.size());
    for (std::size_t position = 0; position < shape_.size(); ++position) {
      const PatternNode& node = shape_[position];
      if (node.is_var()) {
        free_vars_[position] = {node.as_var()};
        subtree_sizes_[position] = 0;
        continue;
      }
      std::vector<Var> vars;
      std::size_t size = 1;
      for (ClassId child : node.children()) {
        vars.insert(vars.end(), free_vars_[child].begin(), free_vars_[child].end());
        size += subtree_sizes_[child];
      }
      std::sort(vars.begin(), vars.end());
      vars.erase(std::unique(vars.begin(), vars.end()), vars.end());
      free_vars_[position] = std::move(vars);
      subtree_sizes_[position] = size;
    }
  }

  std::optional<Reg> register_of(Var var) const {
    for (const auto& [bound, reg] : var_registers_) {
      if (bound == var) return reg;
    }
    return std::nullopt;
  }

  std::size_t unbound_count(ClassId position) const {
    return static_cast<std::size_t>(std::count_if(free_vars_[position].begin(), free_vars_[position].end(),
                                                  [&](Var var) { return !register_of(var); }));
  }

  void schedule(ClassId position, Reg reg) {
    const PatternNode& node = shape_[position];
    if (!node.is_var()) {
      pending_.emplace(std::make_pair(position, reg), position);
      return;
    }
    if (auto bound = register_of(node.as_var())) {
      instructions_.emplace_back(Compare{reg, *bound});
    } else {
      var_registers_.emplace_back(node.as_var(), reg);
    }
  }

  /// Removes and returns the pending entry with the greatest key; the first
  /// in (position, register) order among equals.
  std::pair<std::pair<ClassId, Reg>, ClassId> take_best() {
    auto best = pending_.end();
    std::tuple<bool, std::size_t, std::ptrdiff_t> best_key;
    for (auto it = pending_.begin(); it != pending_.end(); ++it) {
      const ClassId position = it->first.first;
      const std::size_t unbound = unbound_count(position);
      const std::tuple<bool, std::size_t, std::ptrdiff_t> key{
          unbound == 0, unbound, -static_cast<std::ptrdiff_t>(subtree_sizes_[position])};
      if (best == pending_.end() || key > best_key) {
        best = it;
        best_key = key;
      }
    }
    auto taken = *best;
    pending_.erase(best);
    return taken;
  }

  /// The fully bound subterm at `root`: children before parents, each shape
  /// position once, variables replaced by their registers, root last.
  std::vector<TermEntry> lookup_term(ClassId root) const {
    std::vector<TermEntry> term;
    std::map<ClassId, ClassId> placed;
    append_subterm(root, term, placed);
    return term;
  }

  ClassId append_subterm(ClassId position, std::vector<TermEntry>& term, std::map<ClassId, ClassId>& placed) const {
    if (auto found = placed.find(position); found != placed.end()) return found->second;
    const PatternNode& node = shape_[position];
    TermEntry entry = TermEntry::reg(0);
    if (node.is_var()) {
      entry = TermEntry::reg(*register_of(node.as_var()));
    } else {
      Children children;
      for (ClassId child : node.children()) children.push_back(append_subterm(child, term, placed));
      entry = TermEntry::enode(SymbolLang{node.as_enode().op, std::move(children)});
    }
    term.push_back(std::move(entry));
    const auto index = static_cast<ClassId>(term.size() - 1);
    placed.emplace(position, index);
    return index;
  }

  const FlatTerm<PatternNode>& shape_;
  std::vector<std::pair<Var, Reg>> var_registers_;
  std::vector<std::vector<Var>> free_vars_;
  std::vector<std::size_t> subtree_sizes_;
  std::map<std::pair<ClassId, Reg>, ClassId> pending_;
  std::vector<Instruction> instructions_;
};

}  // namespace

Program compile(const FlatTerm<PatternNode>& shape) { return PatternCompiler(shape).compile(); }

}  // namespace korvane::egraph
