// A tools::Result or Status as a test's assertion, with the failure's words
// in the test's output.
#pragma once

#include <gtest/gtest.h>

#include <type_traits>
#include <utility>

namespace test_support {

template <class R>
testing::AssertionResult succeeded(const R& result) {
    if (result) return testing::AssertionSuccess();
    return testing::AssertionFailure() << result.error();
}

// The value of a result the test needs, or T{} with the failure's words
// reported: the caller asserts on what it got.
template <class R>
auto taken(R&& result) -> std::remove_cvref_t<decltype(*result)> {
    if (!result) {
        ADD_FAILURE() << result.error();
        return {};
    }
    return std::move(*result);
}

}  // namespace test_support
