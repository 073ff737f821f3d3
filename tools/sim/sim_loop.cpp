#include "sim_loop.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto closed_port_check = std::chrono::milliseconds(2);

struct DueAnswer {
    Clock::time_point due;
    std::string bytes;
};

class StationLoop {
public:
    StationLoop(PtyPort& port, StationSession& session, const Logger& log, int signal_fd)
        : port_(port), session_(session), log_(log), signal_fd_(signal_fd) {}
    int run();

private:
    void follow_port_state();
    bool wait(Clock::duration timeout, bool watch_port);
    bool receive();
    void write_due_answers();
    int poll_timeout_ms() const;

    PtyPort& port_;
    StationSession& session_;
    const Logger& log_;
    int signal_fd_;
    int status_ = 0;
    bool held_ = false;
    bool port_hung_up_ = false;
    std::deque<DueAnswer> answers_;  // in order of falling due
};

void StationLoop::follow_port_state() {
    const bool held = port_.held();
    if (held == held_) return;
    held_ = held;
    if (held) {
        log_("port opened");
        return;
    }
    const std::string unread = port_.read_available();
    port_.flush_towards_relay();
    session_.on_port_closed();
    log_("port closed" + (unread.empty() ? std::string() : "; unread: " + hex_bytes(unread)) +
         (answers_.empty() ? "" : "; answers not yet due are lost"));
    answers_.clear();
}

int StationLoop::poll_timeout_ms() const {
    if (answers_.empty()) return -1;
    const auto left = answers_.front().due - Clock::now();
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::max<decltype(ms)>(ms, 0));
}

// Waits for a signal (returns false) or, when watch_port, for the relay's
// bytes or its closing the port.
bool StationLoop::wait(Clock::duration timeout, bool watch_port) {
    pollfd fds[2] = {{signal_fd_, POLLIN, 0}, {port_.master_fd(), POLLIN, 0}};
    const int ms =
        watch_port
            ? poll_timeout_ms()
            : static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(timeout).count());
    const int n = ::poll(fds, watch_port ? 2 : 1, ms);
    if (n < 0 && errno != EINTR) {
        std::fprintf(stderr, "anemobus-sim: poll: %s\n", std::strerror(errno));
        status_ = 1;
        return false;
    }
    if (n > 0 && (fds[0].revents & POLLIN)) return false;
    port_hung_up_ = watch_port && (fds[1].revents & (POLLHUP | POLLERR));
    return true;
}

// Returns false once a fault has unplugged the device.
bool StationLoop::receive() {
    const std::string bytes = port_.read_available();
    if (bytes.empty()) return true;
    log_("<- " + hex_bytes(bytes));
    const SessionOutput out = session_.on_bytes(bytes);
    const auto now = Clock::now();
    for (const Answer& a : out.answers) {
        DueAnswer due{now + std::chrono::milliseconds(a.delay_ms), a.bytes};
        const auto at =
            std::upper_bound(answers_.begin(), answers_.end(), due.due,
                             [](Clock::time_point t, const DueAnswer& d) { return t < d.due; });
        answers_.insert(at, std::move(due));
    }
    if (!out.unplug) return true;
    port_.unplug();
    log_("unplugged: the link and the pseudo-terminal are gone");
    return false;
}

void StationLoop::write_due_answers() {
    const auto now = Clock::now();
    while (!answers_.empty() && answers_.front().due <= now) {
        const std::string& bytes = answers_.front().bytes;
        // A port closing under us: the answer would land in a queue that the
        // next close flushes anyway, but it is lost on a serial line too.
        if (!port_hung_up_) {
            const std::size_t sent = port_.write_some(bytes);
            log_("-> " + hex_bytes(bytes.substr(0, sent)) +
                 (sent < bytes.size() ? "; " + std::to_string(bytes.size() - sent) +
                                            " bytes lost, relay not reading"
                                      : ""));
        }
        answers_.pop_front();
    }
}

int StationLoop::run() {
    for (;;) {
        follow_port_state();
        if (!held_) {
            if (!wait(closed_port_check, false)) return status_;
            continue;
        }
        if (!wait({}, true)) return status_;
        if (!receive()) return status_;
        write_due_answers();
    }
}

}  // namespace

void Logger::operator()(const std::string& line) const {
    if (!verbose_) return;
    const std::chrono::duration<double, std::milli> t = std::chrono::steady_clock::now() - start_;
    std::fprintf(stderr, "[%10.3f] %s\n", t.count(), line.c_str());
}

std::string hex_bytes(std::string_view bytes) {
    constexpr std::size_t shown = 24;
    std::string text;
    char buf[4];
    for (std::size_t i = 0; i < bytes.size() && i < shown; ++i) {
        std::snprintf(buf, sizeof buf, "%02x", static_cast<unsigned char>(bytes[i]));
        if (!text.empty()) text += ' ';
        text += buf;
    }
    if (bytes.size() > shown) text += " ... (" + std::to_string(bytes.size()) + " bytes)";
    return text;
}

int run_station(PtyPort& port, StationSession& session, const Logger& log) {
    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals, s);
    const int signal_fd = ::signalfd(-1, &signals, SFD_CLOEXEC);
    if (signal_fd < 0) {
        std::fprintf(stderr, "anemobus-sim: signalfd: %s\n", std::strerror(errno));
        return 1;
    }
    const int status = StationLoop(port, session, log, signal_fd).run();
    ::close(signal_fd);
    return status;
}

}  // namespace sim
