// expected.hpp - a value or an error value, for failures that are the
// caller's fault and travel up to the binding layer as values.
#pragma once

#include <utility>
#include <variant>

namespace korvane {

/// Holds either a `T` (success) or an `E` (a reportable failure).
template <class T, class E>
class Expected {
 public:
  Expected(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Expected(E error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }
  T& value() & { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const T& value() const& { return std::get<0>(v_); }
  const E& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, E> v_;
};

}  // namespace korvane
