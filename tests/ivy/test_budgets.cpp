// The bucket of compiling time all peers share: it only schedules (a peer
// that finds it empty waits its turn), so its arithmetic is all there is to
// check.
#include <gtest/gtest.h>

#include "time_bucket.h"

namespace {

using std::chrono::milliseconds;

TEST(TimeBucket, SpendsRefillsAndTellsWhenItWillHaveEnough) {
    const auto t0 = ivy::TimeBucket::Clock::now();
    ivy::TimeBucket bucket(milliseconds(2), 0.1, t0);
    EXPECT_EQ(bucket.level(t0), milliseconds(2));
    bucket.take(milliseconds(5), t0);
    EXPECT_EQ(bucket.level(t0), milliseconds(-3));
    EXPECT_EQ(bucket.time_to(milliseconds(2), t0), t0 + milliseconds(50));
    EXPECT_EQ(bucket.level(t0 + milliseconds(30)), milliseconds(0));
    EXPECT_EQ(bucket.level(t0 + milliseconds(1000)), milliseconds(2));  // never above capacity
    EXPECT_EQ(bucket.time_to(milliseconds(1), t0 + milliseconds(1000)), t0 + milliseconds(1000));
}

}  // namespace
