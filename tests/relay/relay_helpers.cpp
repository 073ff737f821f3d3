#include "relay_helpers.h"

#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <utility>

#include "station_packet.h"

namespace relay_test {

StationPlayer::StationPlayer(int master, Reply on_line_feed, Reply on_request)
    : master_(master),
      on_line_feed_(std::move(on_line_feed)),
      on_request_(std::move(on_request)),
      thread_([this] { run(); }) {}

StationPlayer::~StationPlayer() {
    stop_ = true;
    thread_.join();
}

std::vector<Received> StationPlayer::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

int StationPlayer::line_feeds() const {
    std::lock_guard lock(mutex_);
    return line_feeds_;
}

int StationPlayer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void StationPlayer::run() {
    test_support::answer_promptly();
    std::string pending;
    while (!stop_) {
        pollfd p{master_, POLLIN, 0};
        if (::poll(&p, 1, 10) <= 0 || !(p.revents & POLLIN)) continue;
        char buf[256];
        const ssize_t n = ::read(master_, buf, sizeof buf);
        if (n <= 0) continue;
        pending.append(buf, static_cast<std::size_t>(n));
        take(pending);
    }
}

// Splits what arrived into line feeds and requests; an incomplete request
// waits for its remaining bytes.
void StationPlayer::take(std::string& pending) {
    static const std::string request = "LOOP 1\n";
    while (!pending.empty()) {
        std::string item;
        if (pending[0] == 'L') {
            const auto end = pending.find('\n');
            if (end == std::string::npos) return;
            item = pending.substr(0, end + 1);
        } else {
            item = pending.substr(0, 1);
        }
        pending.erase(0, item.size());
        answer(item);
    }
}

void StationPlayer::answer(const std::string& text) {
    std::string reply;
    {
        std::lock_guard lock(mutex_);
        received_.push_back({Clock::now(), text});
        if (text == "\n") reply = on_line_feed_ ? on_line_feed_(++line_feeds_) : "";
        if (text == "LOOP 1\n") reply = on_request_ ? on_request_(++requests_) : "";
    }
    // A reply the relay's side no longer reads is a lost answer, as on a real line.
    if (!reply.empty()) {
        [[maybe_unused]] const auto written = ::write(master_, reply.data(), reply.size());
    }
}

std::unique_ptr<test_support::Pty> open_raw_pty() {
    auto pty = test_support::open_pty();
    if (!pty) return nullptr;
    return std::make_unique<test_support::Pty>(std::move(*pty));
}

// Built by the simulator, whose own tests check every offset by hand: the
// relay's offsets are then checked against an independent layout.
std::string station_packet(unsigned pressure, unsigned temperature, unsigned wind_speed,
                           unsigned wind_direction) {
    const sim::Packet packet = sim::build_packet(
        {static_cast<std::uint16_t>(pressure), static_cast<std::uint16_t>(temperature),
         static_cast<std::uint8_t>(wind_speed), static_cast<std::uint16_t>(wind_direction)});
    return {packet.begin(), packet.end()};
}

std::string ack_and_packet() {
    return "\x06" + station_packet(30000, 725, 10, 180);
}

StderrCapture::StderrCapture() {
    std::fflush(stderr);
    saved_ = ::dup(2);
    file_ = ::memfd_create("stderr", MFD_CLOEXEC);
    ::dup2(file_, 2);
}

StderrCapture::~StderrCapture() {
    std::fflush(stderr);
    ::dup2(saved_, 2);
    ::close(saved_);
    ::close(file_);
}

std::string StderrCapture::text() const {
    std::fflush(stderr);
    std::string all;
    char buf[4096];
    for (off_t at = 0;;) {
        const ssize_t n = ::pread(file_, buf, sizeof buf, at);
        if (n <= 0) break;
        all.append(buf, static_cast<std::size_t>(n));
        at += n;
    }
    return all;
}

}  // namespace relay_test
