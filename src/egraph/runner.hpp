// runner.hpp - equality saturation: search all rules, apply, rebuild, repeat.
//
// A Runner owns an e-graph and a rule scheduler and iterates until an
// iteration changes nothing (and the scheduler agrees), or a limit on
// iterations, e-graph size or time is reached. Limits are checked at the
// start of every iteration, after every rule's search and application, and
// after every iteration; the e-graph handed back is always rebuilt.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "egraph/egraph.hpp"
#include "egraph/pattern.hpp"
#include "egraph/scheduler.hpp"

namespace korvane::egraph {

/// An iteration applied nothing, the scheduler agreed to stop, and the
/// e-graph's node and class counts did not change.
struct Saturated {
  friend bool operator==(const Saturated&, const Saturated&) = default;
};
/// Completed iterations reached the iteration limit; carries their number.
struct IterationLimit {
  std::uint64_t iterations;
  friend bool operator==(const IterationLimit&, const IterationLimit&) = default;
};
/// The memo grew beyond the node limit; carries its size.
struct NodeLimit {
  std::uint64_t nodes;
  friend bool operator==(const NodeLimit&, const NodeLimit&) = default;
};
/// The run took longer than the time limit; carries the elapsed seconds.
struct TimeLimit {
  double seconds;
  friend bool operator==(const TimeLimit&, const TimeLimit&) = default;
};

/// Why a run ended.
using StopReason = std::variant<Saturated, IterationLimit, NodeLimit, TimeLimit>;

/// "Saturated", "IterationLimit(12)", "NodeLimit(4097)", "TimeLimit(5.000001)".
std::string to_string(const StopReason& reason);

/// The record of one completed iteration.
struct Iteration {
  /// The rules that changed the e-graph with their number of changes, in the
  /// order they were first applied.
  std::vector<std::pair<Symbol, std::uint64_t>> applied;
  /// memo_size() and class_count() at the start of the iteration.
  std::uint64_t memo_size = 0;
  std::uint64_t class_count = 0;
  /// Unions performed by the iteration's rebuild.
  std::uint64_t rebuild_unions = 0;
  /// Phase times and the whole iteration's time, in seconds.
  double search_time = 0;
  double apply_time = 0;
  double rebuild_time = 0;
  double total_time = 0;
  /// The reason the iteration ended the run, if it did.
  std::optional<StopReason> stop_reason;
};

/// Drives equality saturation over the e-graph it owns. Configure it, then
/// `run` it once; it comes back with `stop_reason` set and at least one
/// iteration recorded. Used by one thread.
class Runner {
 public:
  static constexpr std::uint64_t kDefaultIterationLimit = 30;
  static constexpr std::uint64_t kDefaultNodeLimit = 10000;
  static constexpr std::chrono::seconds kDefaultTimeLimit{5};

  /// An empty e-graph, the default limits and a default BackoffScheduler.
  Runner();

  /// Replaces the e-graph (the previous one is discarded).
  Runner& set_egraph(EGraph egraph);
  /// The run stops once this many iterations are complete.
  Runner& set_iteration_limit(std::uint64_t limit);
  /// The run stops once memo_size() exceeds this.
  Runner& set_node_limit(std::uint64_t limit);
  /// The run stops once it has taken longer than this; nanoseconds::max()
  /// sets no time limit.
  Runner& set_time_limit(std::chrono::nanoseconds limit);

  /// Runs `rules` to a stop reason; a runner runs once. Writes a warning
  /// to standard error when two rules share a name.
  Runner& run(const std::vector<Rewrite>& rules);

  const EGraph& egraph() const noexcept { return egraph_; }
  EGraph& egraph() noexcept { return egraph_; }

  const std::optional<StopReason>& stop_reason() const noexcept { return stop_reason_; }
  const std::vector<Iteration>& iterations() const noexcept { return iterations_; }
  const BackoffScheduler& scheduler() const noexcept { return scheduler_; }
  BackoffScheduler& scheduler() noexcept { return scheduler_; }

  std::uint64_t iteration_limit() const noexcept { return iteration_limit_; }
  std::uint64_t node_limit() const noexcept { return node_limit_; }
  std::chrono::nanoseconds time_limit() const noexcept { return time_limit_; }

 private:
  using Clock = std::chrono::steady_clock;

  Iteration run_one(const std::vector<Rewrite>& rules);
  std::optional<StopReason> check_limits() const;

  EGraph egraph_;
  std::vector<Iteration> iterations_;
  std::optional<StopReason> stop_reason_;
  std::uint64_t iteration_limit_ = kDefaultIterationLimit;
  std::uint64_t node_limit_ = kDefaultNodeLimit;
  std::chrono::nanoseconds time_limit_ = kDefaultTimeLimit;
  std::optional<Clock::time_point> start_time_;
  BackoffScheduler scheduler_;
};

}  // namespace korvane::egraph
