#pragma once
// A value-or-error result, for interfaces that report failure without exceptions.

#include <cassert>
#include <utility>
#include <variant>

namespace plist {

template <typename E>
struct Unexpected {
  E error;
};

template <typename E>
Unexpected<std::decay_t<E>> unexpected(E&& error) {
  return {std::forward<E>(error)};
}

// Holds either a T or an E. Accessing the side that is not held is a programming error
// (asserted in debug builds).
template <typename T, typename E>
class Expected {
 public:
  Expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  template <typename G>
  Expected(Unexpected<G> failure) : state_(std::in_place_index<1>, std::move(failure.error)) {}

  bool has_value() const { return state_.index() == 0; }
  explicit operator bool() const { return has_value(); }

  T& value() & { assert(has_value()); return std::get<0>(state_); }
  const T& value() const& { assert(has_value()); return std::get<0>(state_); }
  T&& value() && { assert(has_value()); return std::get<0>(std::move(state_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  const E& error() const { assert(!has_value()); return std::get<1>(state_); }

 private:
  std::variant<T, E> state_;
};

// Success carrying nothing, or an error.
template <typename E>
class Expected<void, E> {
 public:
  Expected() = default;
  template <typename G>
  Expected(Unexpected<G> failure) : failed_(true), error_(std::move(failure.error)) {}

  bool has_value() const { return !failed_; }
  explicit operator bool() const { return has_value(); }
  const E& error() const { assert(failed_); return error_; }

 private:
  bool failed_ = false;
  E error_{};
};

}  // namespace plist
