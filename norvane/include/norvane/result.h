// A value or an Error, with the shape of std::expected<T, Error>: has_value(),
// explicit bool, *, ->, value(), error(), and Result<void>. Our own, because clang
// (needed for the fuzz targets) cannot compile libstdc++ 12's <expected>. Keep the
// member names, so that this header can become an alias one day.
#pragma once

#include <cstdlib>
#include <type_traits>
#include <utility>
#include <variant>

#include <norvane/error.h>

namespace norvane {

// The failure side, as std::unexpected<Error>.
class unexpected {
 public:
  explicit unexpected(Error e) : error_(std::move(e)) {}
  const Error& error() const& { return error_; }
  Error&& error() && { return std::move(error_); }

 private:
  Error error_;
};

// Shorthand for a failure carrying only a message.
inline unexpected fail(std::string message) { return unexpected(Error(std::move(message))); }

template <class T>
class [[nodiscard]] Result {
 public:
  using value_type = T;

  Result() requires std::is_default_constructible_v<T> : v_(std::in_place_index<0>) {}
  template <class U = T>
  requires(std::is_constructible_v<T, U&&> && !std::is_same_v<std::remove_cvref_t<U>, Result> &&
           !std::is_same_v<std::remove_cvref_t<U>, unexpected>) Result(U&& value)
      : v_(std::in_place_index<0>, std::forward<U>(value)) {}
  Result(unexpected u) : v_(std::in_place_index<1>, std::move(u).error()) {}

  bool has_value() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }

  T& value() & {
    check();
    return std::get<0>(v_);
  }
  const T& value() const& {
    check();
    return std::get<0>(v_);
  }
  T&& value() && {
    check();
    return std::get<0>(std::move(v_));
  }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  // Reading the error of a success is a programming error too.
  const Error& error() const& {
    check_failed();
    return std::get<1>(v_);
  }
  Error&& error() && {
    check_failed();
    return std::get<1>(std::move(v_));
  }

  template <class U>
  T value_or(U&& other) const& {
    return has_value() ? std::get<0>(v_) : static_cast<T>(std::forward<U>(other));
  }

 private:
  void check() const {
    if (!has_value()) std::abort();  // reading the value of a failure is a programming error
  }
  void check_failed() const {
    if (has_value()) std::abort();
  }
  std::variant<T, Error> v_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  using value_type = void;
  Result() = default;
  Result(unexpected u) : error_(std::move(u).error()), failed_(true) {}

  bool has_value() const noexcept { return !failed_; }
  explicit operator bool() const noexcept { return !failed_; }
  void value() const {
    if (failed_) std::abort();
  }
  const Error& error() const& {
    check_failed();
    return error_;
  }
  Error&& error() && {
    check_failed();
    return std::move(error_);
  }

 private:
  void check_failed() const {
    if (!failed_) std::abort();  // reading the error of a success is a programming error
  }
  Error error_;
  bool failed_ = false;
};

}  // namespace norvane

// Early return of a failure, as `TRY` does in expected-style code: evaluates a
// Result expression and returns its error from the enclosing function.
#define NV_TRY(expr)                                                                      \
  do {                                                                                    \
    auto&& nv_try_result_ = (expr);                                                       \
    if (!nv_try_result_) return ::norvane::unexpected(std::move(nv_try_result_).error()); \
  } while (0)

#define NV_TRY_CONCAT_(a, b) a##b
#define NV_TRY_NAME_(line) NV_TRY_CONCAT_(nv_try_assign_, line)

// Early return of a failure, keeping the value of a success: `NV_TRY_ASSIGN(auto x, f());`
// declares x (or assigns to an existing name) with the value of f()'s Result, or
// returns its error from the enclosing function.
#define NV_TRY_ASSIGN(lhs, expr) NV_TRY_ASSIGN_IMPL_(lhs, expr, NV_TRY_NAME_(__LINE__))
#define NV_TRY_ASSIGN_IMPL_(lhs, expr, tmp)                       \
  auto tmp = (expr);                                              \
  if (!tmp) return ::norvane::unexpected(std::move(tmp).error()); \
  lhs = std::move(tmp).value()
