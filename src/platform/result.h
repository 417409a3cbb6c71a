#pragma once
// Result<T>: an operation's value or its user-facing error text. Texts pass upward unchanged;
// nothing throws across a module boundary.

#include <cassert>
#include <string>
#include <utility>
#include <variant>

namespace platform {

struct Error {
    std::string text;
};

inline Error fail(std::string text) { return Error{std::move(text)}; }

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& value() & { assert(ok()); return std::get<0>(state_); }
    const T& value() const& { assert(ok()); return std::get<0>(state_); }
    T&& value() && { assert(ok()); return std::get<0>(std::move(state_)); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

    const std::string& error() const& { assert(!ok()); return std::get<1>(state_).text; }
    std::string&& error() && { assert(!ok()); return std::move(std::get<1>(state_).text); }

private:
    std::variant<T, Error> state_;
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Error error) : error_(std::move(error.text)), failed_(true) {}

    bool ok() const noexcept { return !failed_; }
    explicit operator bool() const noexcept { return ok(); }
    const std::string& error() const& { assert(failed_); return error_; }
    std::string&& error() && { assert(failed_); return std::move(error_); }

private:
    std::string error_;
    bool failed_ = false;
};

}  // namespace platform
