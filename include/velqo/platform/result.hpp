#pragma once

#include <utility>
#include <variant>

namespace velqo {

/// A value or an error, for results delivered through completions (errors that
/// cross a queue are values, never exceptions).
template <class T, class E>
class Result {
 public:
  static Result success(T value) { return Result(std::in_place_index<0>, std::move(value)); }
  static Result failure(E error) { return Result(std::in_place_index<1>, std::move(error)); }

  bool ok() const noexcept { return storage_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  const T& value() const& { return std::get<0>(storage_); }
  T& value() & { return std::get<0>(storage_); }
  T&& value() && { return std::get<0>(std::move(storage_)); }
  const E& error() const& { return std::get<1>(storage_); }
  E& error() & { return std::get<1>(storage_); }

 private:
  template <std::size_t I, class... A>
  explicit Result(std::in_place_index_t<I> tag, A&&... args) : storage_(tag, std::forward<A>(args)...) {}
  std::variant<T, E> storage_;
};

}  // namespace velqo
