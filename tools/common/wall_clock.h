// The wall clock as readings are stamped: milliseconds since the epoch, UTC.
// Read where a reading is judged current or old; intervals are measured on
// the steady clock instead, which a clock step cannot move.
#pragma once

#include <chrono>
#include <cstdint>

namespace tools {

inline std::int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace tools
