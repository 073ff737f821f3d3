// Helpers of the relay's tests: a weather station played on the master side
// of a pseudo-terminal, station packets, and standard error captured in-process.
//
// The station: a thread reads what the relay sends and answers each line feed and each
// "LOOP 1\n" request with whatever the test's reply functions return for it
// (counted from 1); every byte received is logged with its arrival time.
// Replies are written as soon as the request is seen, well inside the relay's
// 30 ms and 120 ms waits.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace relay_test {

using Clock = std::chrono::steady_clock;

struct Received {
    Clock::time_point at;
    std::string bytes;  // "\n" for a line feed, "LOOP 1\n" for a request
};

class StationPlayer {
public:
    using Reply = std::function<std::string(int count)>;
    StationPlayer(int master, Reply on_line_feed, Reply on_request);
    ~StationPlayer();
    StationPlayer(const StationPlayer&) = delete;
    StationPlayer& operator=(const StationPlayer&) = delete;

    std::vector<Received> received() const;
    int line_feeds() const;
    int requests() const;

private:
    void run();
    void take(std::string& pending);
    void answer(const std::string& text);

    int master_;
    Reply on_line_feed_, on_request_;
    mutable std::mutex mutex_;
    std::vector<Received> received_;
    int line_feeds_ = 0, requests_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A pseudo-terminal in raw mode, the test holding the master: the one of
// test_support::open_pty, moved to the heap so that a fixture can hold it.
std::unique_ptr<test_support::Pty> open_raw_pty();

// A 99-byte packet with the "LOO" mark and the given raw fields.
std::string station_packet(unsigned pressure, unsigned temperature, unsigned wind_speed,
                           unsigned wind_direction);

// The acknowledgement followed by a good packet (30000, 725, 10, 180).
std::string ack_and_packet();

// Standard error of this process redirected into a memory file while the
// object lives; text() is everything written so far.
class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;
    std::string text() const;

private:
    int saved_ = -1, file_ = -1;
};

}  // namespace relay_test
