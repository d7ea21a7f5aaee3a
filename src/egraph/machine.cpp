// machine.cpp - executing Bind, Compare and Lookup with backtracking.
//
// `execute` runs instructions from a program counter; a Bind recurses once
// per candidate node, and a finished program emits a substitution. Running
// out of the limit unwinds the whole run.
#include "egraph/machine.hpp"

#include "common/internal_error.hpp"

namespace korvane::egraph {

std::size_t MatchMachine::run(const Program& program, const EGraph& egraph, ClassId root, std::uint64_t limit,
                              Substitutions& out) {
  if (!egraph.is_clean()) throw InternalError("Tried to search a dirty e-graph!");
  if (limit == 0) return 0;
  program_ = &program;
  egraph_ = &egraph;
  out_ = &out;
  remaining_ = limit;
  const std::size_t before = out.size();
  registers_.clear();
  registers_.push_back(root);
  execute(0);
  return out.size() - before;
}

bool MatchMachine::execute(std::size_t pc) {
  const std::vector<Instruction>& instructions = program_->instructions;
  for (; pc < instructions.size(); ++pc) {
    const Instruction& instruction = instructions[pc];
    if (const Bind* bind = std::get_if<Bind>(&instruction)) {
      return bind_nodes(egraph_->get_class(registers_[bind->i]), *bind, [&](const SymbolLang& node) {
        registers_.resize(bind->out);
        registers_.insert(registers_.end(), node.children.begin(), node.children.end());
        return execute(pc + 1);
      });
    }
    if (const Compare* compare = std::get_if<Compare>(&instruction)) {
      if (egraph_->find(registers_[compare->i]) != egraph_->find(registers_[compare->j])) return false;
      continue;
    }
    const Lookup& lookup = std::get<Lookup>(instruction);
    lookup_buffer_.clear();
    for (const TermEntry& entry : lookup.term) {
      if (entry.is_reg()) {
        lookup_buffer_.push_back(egraph_->find(registers_[entry.as_reg()]));
        continue;
      }
      SymbolLang node = entry.as_enode();
      for (ClassId& child : node.children) child = lookup_buffer_[child];
      auto found = egraph_->lookup(node);
      if (!found) return false;
      lookup_buffer_.push_back(*found);
    }
    if (lookup_buffer_.back() != egraph_->find(registers_[lookup.i])) return false;
  }
  emit();
  return --remaining_ == 0;
}

void MatchMachine::emit() {
  Substitution& subst = out_->emplace_back();
  subst.reserve(program_->subst.size());
  for (const auto& [var, reg] : program_->subst) subst.insert(var, registers_[reg]);
}

}  // namespace korvane::egraph
