// Value-or-error results of the updater's core. Nothing in updater/core throws across its
// interface: every operation that can fail returns a Result<T> (a value or an Error) or a
// Status (Result<void>), and the Error carries a sentence a log line or an alert can show.
#pragma once

#include <QString>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <utility>
#include <variant>

namespace updater {

struct Error {
  QString message;  // readable reason, e.g. "the archive's signature does not match"
};

namespace detail {
[[noreturn]] inline void resultMisuse(const char* what) {
  std::fprintf(stderr, "updater::Result misuse: %s\n", what);
  std::abort();
}
}  // namespace detail

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool has_value() const { return state_.index() == 0; }
  explicit operator bool() const { return has_value(); }

  // Calling value() on an error (or error() on a value) is a programming error and aborts.
  T& value() & { return *checkedValue(); }
  const T& value() const& { return *const_cast<Result*>(this)->checkedValue(); }
  T&& value() && { return std::move(*checkedValue()); }
  T* operator->() { return checkedValue(); }
  const T* operator->() const { return const_cast<Result*>(this)->checkedValue(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  const Error& error() const {
    if (const Error* e = std::get_if<1>(&state_)) return *e;
    detail::resultMisuse("error() on a value");
  }

 private:
  T* checkedValue() {
    if (T* v = std::get_if<0>(&state_)) return v;
    detail::resultMisuse("value() on an error");
  }
  std::variant<T, Error> state_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error)) {}
  static Result ok() { return Result(); }

  bool has_value() const { return !error_.has_value(); }
  explicit operator bool() const { return has_value(); }
  const Error& error() const {
    if (error_) return *error_;
    detail::resultMisuse("error() on success");
  }

 private:
  std::optional<Error> error_;
};

using Status = Result<void>;

inline Error makeError(QString message) { return Error{std::move(message)}; }

}  // namespace updater
