// internal_error.hpp - the one exception type for broken invariants.
//
// Every failure that is not the caller's fault (an index that must be valid,
// a lookup that must succeed, a poisoned lock) is thrown as InternalError.
// The binding layer catches it at every entry point and raises the module's
// BaseException-derived internal error with the same text.
#pragma once

#include <stdexcept>
#include <string>

namespace korvane {

/// A broken internal invariant. Never thrown for bad user input.
class InternalError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// Throws InternalError with `message` unless `condition` holds.
inline void check(bool condition, const char* message) {
  if (!condition) [[unlikely]] throw InternalError(message);
}

}  // namespace korvane
