// Result<T>: a value or an error value, returned up the call chain instead of
// throwing. Only the call boundary turns the error into a Python exception.
#pragma once

#include <optional>
#include <utility>
#include <variant>

#include "errors/error_value.hpp"

namespace molvenar {

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) noexcept : state_(std::in_place_index<0>, std::move(value)) {}
    Result(ErrorValue error) noexcept : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& value() & noexcept { return *std::get_if<0>(&state_); }
    T&& value() && noexcept { return std::move(*std::get_if<0>(&state_)); }
    ErrorValue&& error() && noexcept { return std::move(*std::get_if<1>(&state_)); }
    ErrorValue& error() & noexcept { return *std::get_if<1>(&state_); }

private:
    std::variant<T, ErrorValue> state_;
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() noexcept = default;
    Result(ErrorValue error) noexcept : error_(std::move(error)) {}

    bool ok() const noexcept { return !error_.has_value(); }
    explicit operator bool() const noexcept { return ok(); }

    ErrorValue&& error() && noexcept { return std::move(*error_); }
    ErrorValue& error() & noexcept { return *error_; }

private:
    std::optional<ErrorValue> error_;
};

}  // namespace molvenar
