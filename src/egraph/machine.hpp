// machine.hpp - the backtracking machine that runs matching programs.
//
// The machine keeps one flat register list; Bind cuts it back to its output
// register before loading the next candidate node, so backtracking copies
// nothing. Each match becomes one Substitution.
#pragma once

#include <cstdint>
#include <vector>

#include "egraph/egraph.hpp"
#include "egraph/program.hpp"
#include "egraph/substitution.hpp"

namespace korvane::egraph {

/// The Bind step: calls `visit` on each node of `record` that has the
/// operator and arity of `bind`'s node, in list order, until `visit`
/// returns true; returns whether it did.
template <class Visit>
bool bind_nodes(const ClassRecord& record, const Bind& bind, Visit&& visit) {
  const Symbol op = bind.node.op;
  const std::uint32_t arity = bind.node.children.size();
  for (const SymbolLang& node : record.nodes) {
    // Nodes are sorted by op, so the candidates are contiguous.
    if (node.op < op) continue;
    if (node.op > op) break;
    if (node.children.size() != arity) continue;
    if (visit(node)) return true;
  }
  return false;
}

/// Runs `program` against the class `root` of a clean e-graph and appends at
/// most `limit` substitutions to `out`, in the order found; returns how many
/// it appended. Throws InternalError "Tried to search a dirty e-graph!" when
/// the e-graph is not clean. Reusable: one machine may run many programs.
class MatchMachine {
 public:
  std::size_t run(const Program& program, const EGraph& egraph, ClassId root, std::uint64_t limit,
                  Substitutions& out);

 private:
  bool execute(std::size_t pc);
  void emit();

  const Program* program_ = nullptr;
  const EGraph* egraph_ = nullptr;
  Substitutions* out_ = nullptr;
  std::uint64_t remaining_ = 0;
  std::vector<ClassId> registers_;
  std::vector<ClassId> lookup_buffer_;
};

}  // namespace korvane::egraph
