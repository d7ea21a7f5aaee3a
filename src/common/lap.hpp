// lap.hpp - wall time between the steps of an operation, when asked for.
#pragma once

#include <chrono>

namespace korvane {

/// A stopwatch that reads the clock only when it is on, so that an
/// operation nobody profiles pays nothing for its laps.
class Lap {
 public:
  explicit Lap(bool on) : on_(on) {
    if (on_) last_ = Clock::now();
  }
  /// Seconds since the previous lap (or the start); 0 when off.
  double next() {
    if (!on_) return 0;
    const Clock::time_point now = Clock::now();
    const double seconds = std::chrono::duration<double>(now - last_).count();
    last_ = now;
    return seconds;
  }

 private:
  using Clock = std::chrono::steady_clock;
  bool on_;
  Clock::time_point last_;
};

}  // namespace korvane
