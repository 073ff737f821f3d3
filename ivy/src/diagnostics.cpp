#include "diagnostics.h"

#include <array>
#include <chrono>
#include <cstdarg>
#include <cstdio>

namespace ivy {
namespace {

// A burst large enough for a real incident (a few peers failing at once), a
// refill slow enough that a hostile peer cannot fill a disk through us.
constexpr double report_burst = 20.0;
constexpr double reports_per_second = 1.0;

struct Budget {
    const char* kind = nullptr;  // the format: one call site, one kind
    double tokens = report_burst;
    std::chrono::steady_clock::time_point last{};
    unsigned long suppressed = 0;
};

// The library has a few dozen report sites; a fixed table keeps reporting
// free of allocation. Should it ever fill, the last slot is shared by the
// kinds that did not fit.
constexpr std::size_t max_kinds = 64;
std::array<Budget, max_kinds> g_budgets;

Budget& budget_of(const char* kind) {
    for (Budget& budget : g_budgets) {
        if (budget.kind == kind) return budget;
        if (budget.kind == nullptr) {
            budget.kind = kind;
            budget.last = std::chrono::steady_clock::now();
            return budget;
        }
    }
    return g_budgets.back();
}

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
    Budget& budget = budget_of(fmt);
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
