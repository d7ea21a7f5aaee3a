// poison_mutex.hpp - a mutex that refuses service after a failure escaped
// while it was held.
//
// State guarded by the mutex may be half-updated when an exception leaves
// the critical section; from then on every lock attempt throws
// InternalError with the owner's message instead of exposing that state.
#pragma once

#include <exception>
#include <mutex>

#include "common/internal_error.hpp"

namespace korvane {

/// A std::mutex plus a poisoned flag. Owned by the object whose state it guards.
class PoisonMutex {
 public:
  /// A held lock; marks the mutex poisoned if it is released by unwinding.
  class Guard {
   public:
    explicit Guard(const PoisonMutex& m) : m_(m), lock_(m.mutex_), exceptions_(std::uncaught_exceptions()) {
      if (m_.poisoned_) throw InternalError(m_.message_);
    }
    ~Guard() {
      if (std::uncaught_exceptions() > exceptions_) m_.poisoned_ = true;
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

   private:
    const PoisonMutex& m_;
    std::unique_lock<std::mutex> lock_;
    int exceptions_;
  };

  /// `poisoned_message` is the text of the error every later lock raises.
  explicit PoisonMutex(const char* poisoned_message) : message_(poisoned_message) {}

  Guard lock() const { return Guard(*this); }

 private:
  mutable std::mutex mutex_;
  mutable bool poisoned_ = false;  // guarded by mutex_
  const char* message_;
};

}  // namespace korvane
