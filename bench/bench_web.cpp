// anemobus-web's log and data: readings a second into the log through the
// writer thread (the bus loop's path), a page's status and one station's
// figures with 64 stations, the memory 64 stations take at their most, and
// the answer to /api/readings for 24 hours of 1 Hz readings, over HTTP and
// without it. One line per scenario.
// The page's first paint is measured by web_first_paint.mjs.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

#include "live_state.h"
#include "log_writer.h"
#include "reading_store.h"
#include "synthetic_weather.h"
#include "wall_clock.h"
#include "web_client.h"
#include "web_server.h"

namespace {

using namespace web;

using tools::now_ms;

std::string temp_db(const char* what) {
    return "/tmp/anemobus-bench-" + std::string(what) + "-" + std::to_string(::getpid()) + ".db";
}

void remove_db(const std::string& path) {
    for (const char* suffix : {"", "-wal", "-shm"}) ::unlink((path + suffix).c_str());
}

// Readings pushed as fast as the bus loop could push them, timed until the
// writer has committed the last one.
void log_ingest_through_writer(benchmark::State& state) {
    const auto count = static_cast<std::size_t>(state.range(0));
    const StationId id = *StationId::from("1");
    for (auto _ : state) {
        state.PauseTiming();
        const std::string path = temp_db("ingest");
        remove_db(path);
        auto store = ReadingStore::open(path);
        if (!store) return state.SkipWithError(store.error().c_str());
        {
            LogWriter writer(store->get(), "", {.max_queued = count + 1});
            const std::int64_t start = now_ms();
            state.ResumeTiming();
            for (std::size_t i = 0; i < count; ++i) {
                const auto n = static_cast<std::int64_t>(i);
                writer.push({id, web_test::synthetic_reading(start + n, n)});
            }
            while (writer.state().written < count)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            state.PauseTiming();
        }
        store->reset();
        remove_db(path);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(count) * state.iterations());
}
BENCHMARK(log_ingest_through_writer)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();

// The most stations a page shows (64) with ten minutes of 1 Hz readings
// each. A page's status (every open page asks every second) copies their
// figures under the shared lock; working one station's figures out is what
// each reading costs the bus loop now, and what a status cost 64 times
// over, under the lock, when the figures were worked out per look.
LiveState& all_stations(std::int64_t end) {
    static LiveState live(std::nullopt);
    static bool filled = false;
    for (std::size_t s = 0; !filled && s < max_stations; ++s) {
        const StationId id = *StationId::from("station-" + std::to_string(s));
        for (std::int64_t i = 0; i < 600; ++i)
            live.add({id, web_test::synthetic_reading(end - (599 - i) * 1000, i)});
    }
    filled = true;
    return live;
}

void live_status_64_stations(benchmark::State& state) {
    const std::int64_t end = now_ms();
    const LiveState& live = all_stations(end);
    std::size_t stations = 0;
    for (auto _ : state) stations = live.status(end).stations.size();
    state.counters["stations"] = static_cast<double>(stations);
}
BENCHMARK(live_status_64_stations)->Unit(benchmark::kMicrosecond);

// The memory bound: the resident size a LiveState adds with every station
// at its most (64 stations at 10 Hz for ten minutes: every window and the
// ring of recent readings full), read from /proc/self/statm.
std::size_t resident_bytes() {
    std::size_t pages = 0, resident = 0;
    if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%zu %zu", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

void live_state_memory_64_stations_full(benchmark::State& state) {
    const std::int64_t end = now_ms();
    double megabytes = 0;
    for (auto _ : state) {
        const std::size_t before = resident_bytes();
        auto live = std::make_unique<LiveState>(std::nullopt);
        for (std::size_t s = 0; s < max_stations; ++s) {
            const StationId id = *StationId::from("site-" + std::to_string(s) + "/1");
            for (std::int64_t i = 0; i < 6000; ++i)
                live->add({id, web_test::synthetic_reading(end - (5999 - i) * 100, i)});
        }
        megabytes = static_cast<double>(resident_bytes() - before) / 1e6;
        benchmark::DoNotOptimize(live->sequence());
    }
    state.counters["MB"] = megabytes;
}
BENCHMARK(live_state_memory_64_stations_full)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->UseRealTime();

void station_figures_of_10_minutes(benchmark::State& state) {
    StationStats stats(*StationId::from("1"));
    const std::int64_t end = now_ms();
    for (std::int64_t i = 0; i < 600; ++i)
        stats.add(web_test::synthetic_reading(end - (599 - i) * 1000, i));
    for (auto _ : state) benchmark::DoNotOptimize(stats.view());
}
BENCHMARK(station_figures_of_10_minutes)->Unit(benchmark::kMicrosecond);

// A log with a day of 1 Hz readings ending now, shared by the query cases.
struct DayLog {
    std::string path = temp_db("day");
    std::unique_ptr<ReadingStore> store;
    std::int64_t end = now_ms();
    DayLog() {
        remove_db(path);
        auto opened = ReadingStore::open(path);
        if (!opened) {
            std::fprintf(stderr, "bench_web: %s\n", opened.error().c_str());
            std::exit(1);
        }
        store = std::move(*opened);
        std::vector<StationReading> batch;
        const StationId id = *StationId::from("1");
        for (std::int64_t i = 0; i < 86400; ++i)
            batch.push_back({id, web_test::synthetic_reading(end - (86399 - i) * 1000, i)});
        if (const tools::Status written = store->insert(batch); !written) {
            std::fprintf(stderr, "bench_web: %s\n", written.error().c_str());
            std::exit(1);
        }
    }
    ~DayLog() {
        store.reset();
        remove_db(path);
    }
};

DayLog& day_log() {
    static DayLog log;
    return log;
}

// The day's 86400 readings read and cut into 720 buckets, without HTTP: what
// /api/readings would cost without the log's minute sums.
void readings_24h_raw_from_log(benchmark::State& state) {
    DayLog& log = day_log();
    const std::int64_t from = log.end - 86400 * 1000;
    for (auto _ : state) {
        Downsampler buckets(bucket_width_ms(from, log.end, 720));
        if (!log.store->read_range(std::nullopt, from, log.end,
                                   [&](const StationId&, const Reading& r) { buckets.add(r); }))
            return state.SkipWithError("cannot read the day's log");
        benchmark::DoNotOptimize(buckets.take());
    }
}
BENCHMARK(readings_24h_raw_from_log)->Unit(benchmark::kMillisecond)->UseRealTime();

// GET /api/readings for the day, answered by the program's own server.
void readings_24h_over_http(benchmark::State& state) {
    DayLog& log = day_log();
    LiveState live(std::nullopt);
    LogWriter writer(log.store.get(), "", {});
    WebServer server(live, writer, log.store.get(), log.path);
    const auto bound = server.bind("127.0.0.1", 0);
    if (!bound) return state.SkipWithError(bound.error().c_str());
    const int port = *bound;
    server.start();
    const std::string query = "/api/readings?id=1&from=" + std::to_string(log.end - 86400 * 1000) +
                              "&to=" + std::to_string(log.end);
    std::size_t bytes = 0;
    for (auto _ : state) {
        auto res = web_test::http_get(port, query);
        if (!res || res->status != 200) return state.SkipWithError("no answer");
        bytes = res->body.size();
    }
    state.counters["bytes"] = static_cast<double>(bytes);
    server.stop();
}
BENCHMARK(readings_24h_over_http)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
