// Writes readings to the log on a thread of its own, so that the bus loop
// never waits for SQLite: the loop only appends to a queue under a short
// lock; the writer takes the whole queue every flush interval (or sooner when
// it is long) and writes it in one transaction.
//
// Principles: a write that fails keeps its readings queued and is tried again
// after a pause, so a full disk or a locked file loses nothing until the
// queue is full; past that new readings are dropped from the log (not from
// the page) and counted. The state of the log (fine, or the sentence of what failed) is
// kept for the page and reported on standard error when it changes. Old
// readings are deleted in small steps, hourly.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "reading_store.h"

namespace web {

struct LogState {
    bool ok = false;
    std::string error;  // empty when ok
    std::size_t queued = 0;
    std::uint64_t written = 0, dropped = 0;
};

class LogWriter {
public:
    struct Settings {
        int keep_days = 30;
        std::chrono::milliseconds flush_interval{200};
        std::chrono::milliseconds retry_pause{2000};
        std::size_t max_queued = 200000;
        bool quiet = false;
    };
    // store may be null (the log could not be opened): readings are then only
    // counted, and state() tells the opening error.
    LogWriter(ReadingStore* store, std::string open_error, Settings settings);
    ~LogWriter();  // writes what is queued, then stops
    LogWriter(const LogWriter&) = delete;
    LogWriter& operator=(const LogWriter&) = delete;

    // From the bus loop: never blocks on SQLite.
    void push(const StationReading& reading);
    LogState state() const;

private:
    void run();
    void write_batch(std::vector<StationReading>& batch);
    void clean_old(std::chrono::steady_clock::time_point now);
    void set_state(bool ok, const std::string& error);

    ReadingStore* store_;
    Settings settings_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<StationReading>
        queue_;  // swapped with the writer's batch: no allocation per reading
    LogState state_;
    bool stopping_ = false;
    std::chrono::steady_clock::time_point next_clean_{};
    std::thread thread_;
};

}  // namespace web
