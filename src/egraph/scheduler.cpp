// scheduler.cpp - the back-off policy.
//
// A search is capped at threshold + 1 substitutions, so an over-matching
// rule costs little before it is banned; `can_stop` fast-forwards every ban
// by the time to the earliest unban instead of declaring saturation.
#include "egraph/scheduler.hpp"

#include <algorithm>
#include <limits>

#include "common/internal_error.hpp"

namespace korvane::egraph {

RuleStats& BackoffScheduler::stats_for(Symbol name) {
  auto [it, inserted] = stats_.try_emplace(name);
  if (inserted) {
    it->second.match_limit = default_match_limit_;
    it->second.ban_length = default_ban_length_;
  }
  return it->second;
}

std::vector<ClassMatches> BackoffScheduler::search_rewrite(std::uint64_t iteration, const EGraph& egraph,
                                                           const Rewrite& rule) {
  RuleStats& stats = stats_for(rule.name());
  if (iteration < stats.banned_until) return {};

  check(stats.times_banned < 64, "A rule was banned 64 times");
  const std::uint64_t threshold = stats.match_limit << stats.times_banned;
  const std::uint64_t limit = threshold == std::numeric_limits<std::uint64_t>::max() ? threshold : threshold + 1;
  std::vector<ClassMatches> matches = rule.search_with_limit(egraph, limit);
  std::uint64_t total = 0;
  for (const ClassMatches& match : matches) total += match.substitutions.size();
  check(total <= limit, "A search returned more substitutions than its limit");

  if (total > threshold) {
    const std::uint64_t length = stats.ban_length << stats.times_banned;
    ++stats.times_banned;
    const std::uint64_t room = std::numeric_limits<std::uint64_t>::max() - iteration;
    stats.banned_until = length > room ? std::numeric_limits<std::uint64_t>::max() : iteration + length;
    return {};
  }
  ++stats.times_applied;
  return matches;
}

std::uint64_t BackoffScheduler::apply_rewrite(std::uint64_t, EGraph& egraph, const Rewrite& rule,
                                              const std::vector<ClassMatches>& matches) {
  return rule.apply(egraph, matches).size();
}

bool BackoffScheduler::can_stop(std::uint64_t iteration) {
  std::uint64_t soonest = std::numeric_limits<std::uint64_t>::max();
  bool any_banned = false;
  for (const auto& [name, stats] : stats_) {
    if (stats.banned_until <= iteration) continue;
    any_banned = true;
    soonest = std::min(soonest, stats.banned_until);
  }
  if (!any_banned) return true;

  const std::uint64_t delta = soonest - iteration;
  bool unbanned = false;
  for (auto& [name, stats] : stats_) {
    if (stats.banned_until <= iteration) continue;
    stats.banned_until -= delta;
    unbanned |= stats.banned_until == iteration;
  }
  check(unbanned, "Fast-forwarding the bans unbanned no rule");
  return false;
}

}  // namespace korvane::egraph
