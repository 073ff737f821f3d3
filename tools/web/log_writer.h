// Writes readings to the log on a thread of its own, so that the bus loop
// never waits for SQLite: the loop only appends to a queue under a short
// lock; the writer takes the whole queue every flush interval (or sooner when
// it is long) and writes it in one transaction.
//
// Principles: a write that fails keeps its readings queued and is tried again
// after a pause, so a full disk or a locked file loses nothing until the
// queue is full; past that new readings are dropped from the log (not from
// the page) and counted. The state of the log (fine, or the sentence of what
// failed) is kept for the page and reported on standard error when it
// changes. Every few seconds the file at the log's path is checked to be
// still the one written: one deleted or replaced is followed by a new log at
// the path, which starts with the readings still held in memory, and a
// notice for the page. Old readings are deleted in small steps, hourly.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "reading_store.h"

namespace web {

struct LogState {
    bool ok = false;
    std::string error;   // empty when ok
    std::string notice;  // the latest event people should know of (a file deleted), or empty
    std::int64_t notice_ms = 0;
    std::size_t queued = 0;
    std::uint64_t written = 0, dropped = 0;
    std::uint64_t duplicates = 0;  // stamped readings the log held already
};

class LogWriter {
public:
    struct Settings {
        int keep_days = 30;
        std::chrono::milliseconds flush_interval{200};
        std::chrono::milliseconds retry_pause{2000};
        std::chrono::milliseconds file_check_interval{2000};
        std::size_t max_queued = 200000;
        bool quiet = false;
        // The readings held in memory whose sequence number (see push) is
        // at most the one given, in order; empty when not set.
        std::function<std::vector<StationReading>(std::uint64_t)> recall{};
    };
    // store may be null (the log could not be opened): readings are then only
    // counted as dropped, and state() tells the opening error.
    LogWriter(ReadingStore* store, std::string open_error, Settings settings);
    ~LogWriter();  // finish()
    LogWriter(const LogWriter&) = delete;
    LogWriter& operator=(const LogWriter&) = delete;

    // From the bus loop: never blocks on SQLite. seq is the reading's number
    // in memory (LiveState::add), rising; 0 when it is not kept there.
    void push(const StationReading& reading, std::uint64_t seq = 0);
    LogState state() const;
    // Writes what is queued and stops. Returns how many pushed readings are
    // not in the log (dropped, or not written at the end); the same on
    // later calls.
    std::uint64_t finish();

private:
    void run();
    // Moves the queue into the batch; true when all of it went.
    bool take_queue(std::vector<StationReading>& batch, bool after_failure);
    void move_into_batch(std::vector<StationReading>& batch);  // under mutex_
    void write_batch(std::vector<StationReading>& batch, std::uint64_t batch_seq);
    void follow_file(std::vector<StationReading>& batch);
    void clean_old(std::chrono::steady_clock::time_point now);
    void set_state(bool ok, const std::string& error);
    void set_notice(const std::string& notice);

    ReadingStore* store_;
    Settings settings_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<StationReading>
        queue_;  // swapped with the writer's batch: no allocation per reading
    LogState state_;
    bool stopping_ = false;
    std::uint64_t pushed_seq_ = 0;  // of the latest reading queued
    std::uint64_t unwritten_ = 0;   // set when the thread ends
    // The writer thread's own.
    std::uint64_t written_seq_ = 0;  // of the latest reading in the file
    bool reopen_failed_ = false;
    std::chrono::steady_clock::time_point next_clean_{}, next_check_{};
    std::thread thread_;
};

}  // namespace web
