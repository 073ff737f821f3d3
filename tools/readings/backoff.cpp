#include "backoff.h"

#include <algorithm>
#include <cmath>

namespace mqtt {

std::chrono::milliseconds Backoff::next(double draw) {
    const double longest = static_cast<double>(longest_retry.count());
    const double base = std::min(longest, static_cast<double>(first_retry.count()) *
                                              std::ldexp(1.0, std::min(failures_, 16)));
    ++failures_;
    const double wait = base * (1.0 - 0.2 * std::clamp(draw, 0.0, 1.0));
    const auto ms = static_cast<long>(std::lround(std::max(wait, double(first_retry.count()))));
    return std::chrono::milliseconds(ms);
}

}  // namespace mqtt
