// runner.cpp - the saturation loop and its limit checks.
//
// Each iteration checks the limits, searches every rule, applies every
// rule's matches, rebuilds, and tests for saturation; a limit found inside
// the search or apply phase skips the rest of them but not the rebuild.
#include "egraph/runner.hpp"

#include <algorithm>
#include <iostream>

#include "common/internal_error.hpp"

namespace korvane::egraph {

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

/// Writes the duplicated-name warning when two rules share a name.
void warn_duplicate_names(const std::vector<Rewrite>& rules) {
  std::vector<std::pair<Symbol, std::size_t>> counts;
  for (const Rewrite& rule : rules) {
    auto it = std::find_if(counts.begin(), counts.end(), [&](const auto& entry) { return entry.first == rule.name(); });
    if (it == counts.end()) {
      counts.emplace_back(rule.name(), 1);
    } else {
      ++it->second;
    }
  }
  if (std::all_of(counts.begin(), counts.end(), [](const auto& entry) { return entry.second == 1; })) return;
  std::cerr << "WARNING: Duplicated rule names may affect rule reporting and scheduling.\n";
  for (const auto& [name, count] : counts) {
    if (count > 1) std::cerr << "Rule '" << resolve(name) << "' appears " << count << " times\n";
  }
}

}  // namespace

std::string to_string(const StopReason& reason) {
  struct Describe {
    std::string operator()(const Saturated&) const { return "Saturated"; }
    std::string operator()(const IterationLimit& r) const { return "IterationLimit(" + std::to_string(r.iterations) + ")"; }
    std::string operator()(const NodeLimit& r) const { return "NodeLimit(" + std::to_string(r.nodes) + ")"; }
    std::string operator()(const TimeLimit& r) const { return "TimeLimit(" + std::to_string(r.seconds) + ")"; }
  };
  return std::visit(Describe{}, reason);
}

Runner::Runner() = default;

Runner& Runner::set_egraph(EGraph egraph) {
  egraph_ = std::move(egraph);
  return *this;
}

Runner& Runner::set_iteration_limit(std::uint64_t limit) {
  iteration_limit_ = limit;
  return *this;
}

Runner& Runner::set_node_limit(std::uint64_t limit) {
  node_limit_ = limit;
  return *this;
}

Runner& Runner::set_time_limit(std::chrono::nanoseconds limit) {
  time_limit_ = limit;
  return *this;
}

Runner& Runner::run(const std::vector<Rewrite>& rules) {
  check(!stop_reason_.has_value(), "A runner can only run once");
  warn_duplicate_names(rules);
  egraph_.rebuild();
  while (true) {
    Iteration iteration = run_one(rules);
    std::optional<StopReason> reason = iteration.stop_reason;
    iterations_.push_back(std::move(iteration));
    if (!reason) reason = check_limits();
    if (reason) {
      stop_reason_ = std::move(reason);
      break;
    }
  }
  return *this;
}

std::optional<StopReason> Runner::check_limits() const {
  const Clock::duration elapsed = Clock::now() - *start_time_;
  if (elapsed > time_limit_) {
    // Whole seconds plus the remaining nanoseconds, as the reason reports it.
    const auto whole = std::chrono::duration_cast<std::chrono::seconds>(elapsed);
    const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed - whole);
    return TimeLimit{static_cast<double>(whole.count()) + static_cast<double>(nanos.count()) / 1e9};
  }
  if (egraph_.memo_size() > node_limit_) return NodeLimit{egraph_.memo_size()};
  if (iterations_.size() >= iteration_limit_) return IterationLimit{iterations_.size()};
  return std::nullopt;
}

Iteration Runner::run_one(const std::vector<Rewrite>& rules) {
  const std::uint64_t i = iterations_.size();
  if (!start_time_) start_time_ = Clock::now();
  std::optional<StopReason> reason = check_limits();

  Iteration record;
  record.memo_size = egraph_.memo_size();
  record.class_count = egraph_.class_count();

  // The iteration's own time runs from the start of its search phase.
  const auto started = Clock::now();
  std::vector<std::vector<ClassMatches>> found;
  if (!reason) {
    found.reserve(rules.size());
    for (const Rewrite& rule : rules) {
      found.push_back(scheduler_.search_rewrite(i, egraph_, rule));
      reason = check_limits();
      if (reason) break;
    }
  }
  record.search_time = seconds_since(started);

  const auto apply_started = Clock::now();
  if (!reason) {
    for (std::size_t k = 0; k < rules.size(); ++k) {
      const std::uint64_t changes = scheduler_.apply_rewrite(i, egraph_, rules[k], found[k]);
      if (changes > 0) {
        const Symbol name = rules[k].name();
        auto entry = std::find_if(record.applied.begin(), record.applied.end(),
                                  [&](const auto& applied) { return applied.first == name; });
        if (entry == record.applied.end()) {
          record.applied.emplace_back(name, changes);
        } else {
          entry->second += changes;
        }
      }
      reason = check_limits();
      if (reason) break;
    }
  }
  record.apply_time = seconds_since(apply_started);

  const auto rebuild_started = Clock::now();
  record.rebuild_unions = egraph_.rebuild();
  record.rebuild_time = seconds_since(rebuild_started);

  if (record.applied.empty() && scheduler_.can_stop(i) && egraph_.memo_size() == record.memo_size &&
      egraph_.class_count() == record.class_count && !reason) {
    reason = Saturated{};
  }
  record.total_time = seconds_since(started);
  record.stop_reason = std::move(reason);
  return record;
}

}  // namespace korvane::egraph
