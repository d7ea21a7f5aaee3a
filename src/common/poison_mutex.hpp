// poison_mutex.hpp - a mutex that refuses service after a failure escaped
// while it guarded a change.
//
// State guarded by the mutex may be half-updated when an exception leaves a
// section that was changing it; from then on every lock attempt throws
// InternalError with the owner's message instead of exposing that state. A
// section that only reads leaves nothing half-updated, so a failure there (an
// allocation failure while copying, say) reaches the caller and the mutex
// stays in service.
#pragma once

#include <exception>
#include <mutex>

#include "common/internal_error.hpp"

namespace korvane {

/// A std::mutex plus a poisoned flag. Owned by the object whose state it guards.
class PoisonMutex {
 public:
  /// A held lock. One taken for writing marks the mutex poisoned if it is
  /// released by unwinding.
  class Guard {
   public:
    Guard(const PoisonMutex& m, bool writing)
        : m_(m), lock_(m.mutex_), exceptions_(std::uncaught_exceptions()), writing_(writing) {
      if (m_.poisoned_) throw InternalError(m_.message_);
    }
    ~Guard() {
      if (writing_ && std::uncaught_exceptions() > exceptions_) m_.poisoned_ = true;
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

    /// Whether the section is changing the guarded state from here on: a
    /// failure escaping while it is poisons the mutex.
    void set_writing(bool writing) noexcept { writing_ = writing; }

   private:
    const PoisonMutex& m_;
    std::unique_lock<std::mutex> lock_;
    int exceptions_;
    bool writing_;
  };

  /// `poisoned_message` is the text of the error every later lock raises.
  explicit PoisonMutex(const char* poisoned_message) : message_(poisoned_message) {}

  /// A hold for a section that changes the guarded state.
  Guard lock() const { return Guard(*this, true); }
  /// A hold for a section that only reads the guarded state.
  Guard read_lock() const { return Guard(*this, false); }

 private:
  mutable std::mutex mutex_;
  mutable bool poisoned_ = false;  // guarded by mutex_
  const char* message_;
};

}  // namespace korvane
