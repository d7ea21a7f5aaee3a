// scheduler.hpp - which rules run in an iteration, and with which matches.
//
// The runner asks its BackoffScheduler to search and apply each rule and
// whether the run may stop. The scheduler bans a rule for a while when its
// matches exceed its current threshold, doubling threshold and ban length
// with every ban, and lets banned rules back early when all else is quiet.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "egraph/egraph.hpp"
#include "egraph/pattern.hpp"

namespace korvane::egraph {

/// Back-off state of one rule name.
struct RuleStats {
  /// How many times the rule's matches were passed on.
  std::uint64_t times_applied = 0;
  /// First iteration at which the rule is searched again.
  std::uint64_t banned_until = 0;
  /// How many times the rule has been banned.
  std::uint64_t times_banned = 0;
  /// Base threshold for the number of matches.
  std::uint64_t match_limit = 0;
  /// Base length of a ban, in iterations.
  std::uint64_t ban_length = 0;
};

/// Bans rules that match more than match_limit << times_banned
/// substitutions for ban_length << times_banned iterations. Statistics are
/// keyed by rule name, so rules sharing a name share them. Called by one
/// thread.
class BackoffScheduler {
 public:
  static constexpr std::uint64_t kDefaultMatchLimit = 1000;
  static constexpr std::uint64_t kDefaultBanLength = 5;

  BackoffScheduler() = default;

  /// Whether the run may end as saturated after `iteration`, in which no
  /// rule changed the e-graph; if a rule is banned, fast-forwards the bans
  /// to the earliest unban instead and answers false.
  bool can_stop(std::uint64_t iteration);
  /// The matches of `rule` to apply in `iteration`; empty when the rule is
  /// banned, or is banned now because it matched too much.
  std::vector<ClassMatches> search_rewrite(std::uint64_t iteration, const EGraph& egraph, const Rewrite& rule);
  /// Applies `matches` of `rule`; returns how many substitutions changed
  /// the e-graph.
  std::uint64_t apply_rewrite(std::uint64_t iteration, EGraph& egraph, const Rewrite& rule,
                              const std::vector<ClassMatches>& matches);

  /// The statistics of every rule name searched so far.
  const std::map<Symbol, RuleStats>& stats() const noexcept { return stats_; }

 private:
  RuleStats& stats_for(Symbol name);

  std::uint64_t default_match_limit_ = kDefaultMatchLimit;
  std::uint64_t default_ban_length_ = kDefaultBanLength;
  std::map<Symbol, RuleStats> stats_;
};

}  // namespace korvane::egraph
