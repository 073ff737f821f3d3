// What a function of the tools returns when it can fail: its value, or why
// it failed, as a sentence that a person reads on standard error or on the
// page. The caller decides what a failure means (retry, report, exit); a
// helper never prints it nor ends the program, and nothing is swallowed: the
// value cannot be read without first looking at whether there is one.
//
// This is C++23's std::expected<T, std::string> in miniature. We build with
// C++20, and the clang-tidy of our distribution cannot read libstdc++'s
// <expected>; when both move, Result<T> becomes an alias of it.
#pragma once

#include <cassert>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace tools {

// Why something failed. Made with fail().
struct Failure {
    std::string why;
};

inline Failure fail(std::string why) {
    return Failure{std::move(why)};
}

template <class T>
class [[nodiscard]] Result {
public:
    // Implicit both ways, so that a function returns either as it is.
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}            // NOLINT
    Result(Failure failure) : state_(std::in_place_index<1>, std::move(failure)) {}  // NOLINT

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    // The value, only after ok() said true (as with std::optional, nothing
    // is checked nor thrown: a program that ends on a throw is no better).
    T& operator*() & { return *value(); }
    const T& operator*() const& { return *value(); }
    T&& operator*() && { return std::move(*value()); }
    T* operator->() { return value(); }
    const T* operator->() const { return value(); }

    // Why, only after ok() said false.
    const std::string& error() const { return failed()->why; }
    // The failure again, for a caller that passes it up.
    Failure failure() const { return *failed(); }

private:
    T* value() {
        assert(ok());
        return std::get_if<0>(&state_);
    }
    const T* value() const {
        assert(ok());
        return std::get_if<0>(&state_);
    }
    const Failure* failed() const {
        assert(!ok());
        return std::get_if<1>(&state_);
    }

    std::variant<T, Failure> state_;
};

// Success that carries no value.
template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Failure failure) : failure_(std::move(failure)) {}  // NOLINT

    bool ok() const { return !failure_; }
    explicit operator bool() const { return ok(); }
    const std::string& error() const {
        assert(failure_);
        return failure_->why;
    }
    Failure failure() const { return *failure_; }

private:
    std::optional<Failure> failure_;
};

using Status = Result<void>;

}  // namespace tools
