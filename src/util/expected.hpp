// Expected<T, E>: a value or an error, for fallible operations (C++20 has no
// std::expected). Expected<void, E> holds nothing or an error.
#pragma once

#include <cassert>
#include <type_traits>
#include <utility>
#include <optional>
#include <variant>

namespace sarvolt::util {

template <class E>
class Unexpected {
 public:
  explicit Unexpected(E e) : error_(std::move(e)) {}
  E& error() & { return error_; }
  E&& error() && { return std::move(error_); }

 private:
  E error_;
};

template <class E>
Unexpected(E) -> Unexpected<E>;

template <class T, class E>
class [[nodiscard]] Expected {
 public:
  Expected() requires std::is_default_constructible_v<T> : v_(std::in_place_index<0>) {}
  template <class U = T, class = std::enable_if_t<std::is_constructible_v<T, U&&>>>
  Expected(U&& v) : v_(std::in_place_index<0>, std::forward<U>(v)) {}  // NOLINT
  template <class G>
  Expected(Unexpected<G> e) : v_(std::in_place_index<1>, std::move(e).error()) {}  // NOLINT

  bool has_value() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }

  T& value() & { assert(has_value()); return std::get<0>(v_); }
  const T& value() const& { assert(has_value()); return std::get<0>(v_); }
  T&& value() && { assert(has_value()); return std::get<0>(std::move(v_)); }
  E& error() & { assert(!has_value()); return std::get<1>(v_); }
  const E& error() const& { assert(!has_value()); return std::get<1>(v_); }
  E&& error() && { assert(!has_value()); return std::get<1>(std::move(v_)); }

  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

 private:
  std::variant<T, E> v_;
};

template <class E>
class [[nodiscard]] Expected<void, E> {
 public:
  Expected() = default;
  template <class G>
  Expected(Unexpected<G> e) : e_(std::in_place, std::move(e).error()) {}  // NOLINT

  bool has_value() const noexcept { return !e_.has_value(); }
  explicit operator bool() const noexcept { return has_value(); }
  E& error() & { assert(!has_value()); return *e_; }
  const E& error() const& { assert(!has_value()); return *e_; }
  E&& error() && { assert(!has_value()); return std::move(*e_); }

 private:
  std::optional<E> e_;
};

}  // namespace sarvolt::util
