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
