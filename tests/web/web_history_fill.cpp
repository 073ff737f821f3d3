// Fills a reading log with synthetic history, as anemobus-web would have
// written it: web_history_fill DB SECONDS [END_MS] [ID]. One reading a second,
// the last at END_MS (default: now). For the browser test, the benchmarks
// and the documentation's screenshot.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "reading_store.h"
#include "synthetic_weather.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: web_history_fill DB SECONDS [END_MS] [ID]\n");
        return 1;
    }
    using namespace std::chrono;
    const std::int64_t seconds = std::atoll(argv[2]);
    const std::int64_t end_ms =
        argc > 3 ? std::atoll(argv[3])
                 : duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    const auto id = web::StationId::from(argc > 4 ? argv[4] : "1");
    auto store = web::ReadingStore::open(argv[1]);
    if (!store || !id) {
        std::fprintf(stderr, "web_history_fill: %s\n", store ? "bad id" : store.error().c_str());
        return 1;
    }
    std::vector<web::StationReading> batch;
    for (std::int64_t i = 0; i < seconds; ++i) {
        batch.push_back({*id, web_test::synthetic_reading(end_ms - (seconds - 1 - i) * 1000, i)});
        if (batch.size() == 10000 || i + 1 == seconds) {
            if (const tools::Status written = (*store)->insert(batch); !written) {
                std::fprintf(stderr, "web_history_fill: %s\n", written.error().c_str());
                return 1;
            }
            batch.clear();
        }
    }
    return 0;
}
