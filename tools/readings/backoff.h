// How long to wait before the next attempt to reach the broker: 1 s after the
// first failure, doubling up to 30 s, each wait shortened by up to a fifth at
// random. The jitter is what keeps a fleet of bridges from hammering a broker
// that comes back all in the same second; taking it off the wait rather than
// adding it keeps the bounds a user reads (1 s, 30 s) true.
#pragma once

#include <chrono>

namespace mqtt {

inline constexpr std::chrono::milliseconds first_retry{1000};
inline constexpr std::chrono::milliseconds longest_retry{30000};

class Backoff {
public:
    // The wait after one more failure. `draw` is a uniform random number in
    // [0, 1), passed in so that the sequence can be tested.
    std::chrono::milliseconds next(double draw);
    // After a connection the broker accepted: the next wait is 1 s again.
    void reset() { failures_ = 0; }

private:
    int failures_ = 0;
};

}  // namespace mqtt
