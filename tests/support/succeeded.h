// A tools::Result or Status as a test's assertion, with the failure's words
// in the test's output.
#pragma once

#include <gtest/gtest.h>

namespace test_support {

template <class R>
testing::AssertionResult succeeded(const R& result) {
    if (result) return testing::AssertionSuccess();
    return testing::AssertionFailure() << result.error();
}

}  // namespace test_support
