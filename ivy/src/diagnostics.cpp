#include "diagnostics.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>

#include "ivy_limits.h"

namespace ivy {
namespace {

// A burst large enough for a real incident (a few peers failing at once), a
// refill slow enough that a hostile peer cannot fill a disk through us.
constexpr double report_burst = 20.0;
constexpr double reports_per_second = 1.0;

struct Budget {
    double tokens = report_burst;
    std::chrono::steady_clock::time_point last = std::chrono::steady_clock::now();
    unsigned long suppressed = 0;
};

bool take_token(Budget& budget) {
    const auto now = std::chrono::steady_clock::now();
    const std::chrono::duration<double> elapsed = now - budget.last;
    budget.last = now;
    budget.tokens += elapsed.count() * reports_per_second;
    if (budget.tokens > report_burst) budget.tokens = report_burst;
    if (budget.tokens < 1.0) return false;
    budget.tokens -= 1.0;
    return true;
}

}  // namespace

void report(const char* fmt, ...) {
    static Budget budget;
    if (!take_token(budget)) {
        ++budget.suppressed;
        return;
    }
    char text[1024];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    if (budget.suppressed != 0) {
        std::fprintf(stderr, "ivy: (%lu similar reports suppressed)\n", budget.suppressed);
        budget.suppressed = 0;
    }
    std::fprintf(stderr, "ivy: %s\n", text);
}

}  // namespace ivy
