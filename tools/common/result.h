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

    T& operator*() & { return std::get<0>(state_); }
    const T& operator*() const& { return std::get<0>(state_); }
    T&& operator*() && { return std::get<0>(std::move(state_)); }
    T* operator->() { return &std::get<0>(state_); }
    const T* operator->() const { return &std::get<0>(state_); }

    // Only after ok() said false.
    const std::string& error() const { return std::get<1>(state_).why; }
    // The failure again, for a caller that passes it up.
    Failure failure() const { return std::get<1>(state_); }

private:
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
