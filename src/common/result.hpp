// result.hpp - a value or an error, for operations whose failure is an answer.
//
// Failures that are the caller's fault (an unknown node id, an unreadable
// blob, a pattern that does not parse) travel up as values the caller
// inspects, never as exceptions; exceptions are kept for broken invariants
// (InternalError). Result<T, E> holds exactly one of the two.
#pragma once

#include <type_traits>
#include <utility>
#include <variant>

#include "common/internal_error.hpp"

namespace korvane {

/// Marks an error value on its way into a Result, so that T and E may be the
/// same type.
template <class E>
struct Err {
  explicit Err(E e) : error(std::move(e)) {}
  E error;
};

template <class E>
Err(E) -> Err<E>;

/// Either a value of type T or an error of type E; never empty.
template <class T, class E>
class Result {
 public:
  /// A successful result holding `value`.
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  /// A failed result holding `err.error`.
  Result(Err<E> err) : state_(std::in_place_index<1>, std::move(err.error)) {}
  /// A failed result holding `error`, when no value could be mistaken for it.
  Result(E error)
    requires(!std::is_same_v<T, E>)
      : state_(std::in_place_index<1>, std::move(error)) {}

  /// True when the result holds a value.
  bool ok() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  /// The value; asking a failed result for it is an internal error.
  T& value() & {
    check(ok(), "Result::value called on an error");
    return std::get<0>(state_);
  }
  const T& value() const& {
    check(ok(), "Result::value called on an error");
    return std::get<0>(state_);
  }
  T&& value() && {
    check(ok(), "Result::value called on an error");
    return std::get<0>(std::move(state_));
  }

  /// The error; asking a successful result for it is an internal error.
  const E& error() const& {
    check(!ok(), "Result::error called on a value");
    return std::get<1>(state_);
  }
  E&& error() && {
    check(!ok(), "Result::error called on a value");
    return std::get<1>(std::move(state_));
  }

 private:
  std::variant<T, E> state_;
};

}  // namespace korvane
