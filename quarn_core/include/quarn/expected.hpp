// A value or an error: how every fallible core operation reports failure (the core never throws one).
#pragma once

#include <utility>
#include <variant>

namespace quarn {

template <class E>
struct Unexpected {
  E error;
};

template <class E>
Unexpected<E> unexpected(E e) {
  return Unexpected<E>{std::move(e)};
}

template <class T, class E>
class Expected {
 public:
  Expected(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  template <class G>
  Expected(Unexpected<G> u) : v_(std::in_place_index<1>, std::move(u.error)) {}

  bool has_value() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }

  T& value() & { return *std::get_if<0>(&v_); }
  const T& value() const& { return *std::get_if<0>(&v_); }
  T&& value() && { return std::move(*std::get_if<0>(&v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return std::get_if<0>(&v_); }
  const T* operator->() const { return std::get_if<0>(&v_); }

  E& error() & { return *std::get_if<1>(&v_); }
  const E& error() const& { return *std::get_if<1>(&v_); }
  E&& error() && { return std::move(*std::get_if<1>(&v_)); }

 private:
  std::variant<T, E> v_;
};

// A fixed refusal text of an analysis operation ("cutoff must be positive", ...). Static storage.
struct Refusal {
  const char* message;
};

}  // namespace quarn
