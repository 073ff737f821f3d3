// anemobus-monitor: watch an Ivy bus and talk on it. Prints every message
// that matches its regexps, sends every line of standard input. Uses only the
// library's C interface, as any program on the bus would.
#include <Ivy/ivy.h>
#include <Ivy/ivychannel.h>
#include <Ivy/ivyloop.h>
#include <Ivy/timer.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "../common/stop_on_signals.h"
#include "monitor_options.h"
#include "monitor_text.h"

namespace {

// A typed line longer than this is dropped rather than buffered without end.
constexpr std::size_t max_input_line = std::size_t{1024} * 1024;

// With -q, lines that reached no peer are still said, at most this often.
constexpr auto unsent_report_period = std::chrono::seconds(10);

struct Monitor {
    monitor::Options options;
    // Typed lines no peer took since the last report, and when that was.
    long unsent = 0;
    std::optional<std::chrono::steady_clock::time_point> unsent_said;
    long received = 0;
    bool output_failed = false;
    monitor::LineSplitter input{max_input_line};
};

Monitor state;

// Informational lines, silenced by -q. The format attribute lets the
// compiler check each call's format against its arguments.
__attribute__((format(printf, 1, 2))) void info(const char* fmt, ...) {
    if (state.options.quiet) return;
    va_list args;
    va_start(args, fmt);
    std::vfprintf(stderr, fmt, args);
    va_end(args);
}

void on_message(IvyClientPtr app, void*, int argc, char** argv) {
    long limit = state.options.max_messages;
    // Messages already on their way when the limit was met are not printed.
    if (state.output_failed || (limit != 0 && state.received >= limit)) return;
    std::string line = monitor::received_line(IvyGetApplicationName(app), argc, argv);
    if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size() ||
        std::fflush(stdout) != 0) {
        std::fprintf(stderr, "anemobus-monitor: writing standard output: %s\n",
                     std::strerror(errno));
        state.output_failed = true;
        IvyStop();
        return;
    }
    if (limit != 0 && ++state.received >= limit) IvyStop();
}

void on_application(IvyClientPtr app, void*, IvyApplicationEvent event) {
    const char* name = IvyGetApplicationName(app);
    switch (event) {
        case IvyApplicationConnected:
            // The host is NULL for a peer gone meanwhile; printf must not see that.
            if (const char* host = IvyGetApplicationHost(app)) {
                info("%s connected from %s\n", name, host);
            } else {
                info("%s connected\n", name);
            }
            break;
        case IvyApplicationDisconnected:
            info("%s disconnected\n", name);
            break;
        case IvyApplicationCongestion:
            info("%s is slow to read\n", name);
            break;
        case IvyApplicationDecongestion:
            info("%s reads again\n", name);
            break;
        case IvyApplicationFifoFull:
            info("%s stopped reading\n", name);
            break;
    }
}

void on_die(IvyClientPtr app, void*, int) {
    info("%s asked us to quit\n", IvyGetApplicationName(app));
}

// A typed line that went nowhere is never silent, even with -q: once, and
// then at most every ten seconds with the count (a stream of lines into an
// empty bus must not flood standard error).
void say_unsent(bool flush) {
    const auto now = std::chrono::steady_clock::now();
    if (state.unsent == 0 ||
        (!flush && state.unsent_said && now - *state.unsent_said < unsent_report_period))
        return;
    std::fprintf(stderr,
                 "anemobus-monitor: %ld line(s) went to no peer (none is connected, or none "
                 "bound a regexp that matches)\n",
                 state.unsent);
    state.unsent = 0;
    state.unsent_said = now;
}

void send_line(std::string_view line) {
    std::string text(line);
    const int peers = IvySendMsg("%s", text.c_str());
    if (state.options.quiet) {
        if (peers == 0 && IvySendMsgWaiting() == 0) ++state.unsent;
        return say_unsent(false);
    }
    // Peers whose regexps take long match the line later, and may get it.
    const int waiting = IvySendMsgWaiting();
    if (waiting == 0) {
        std::fprintf(stderr, "sent to %d peer(s)\n", peers);
    } else {
        std::fprintf(stderr, "sent to %d peer(s); %d more still matching it\n", peers, waiting);
    }
}

void on_input(Channel channel, IVY_HANDLE fd, void*) {
    char buf[65536];
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (n > 0) {
        state.input.feed(std::string_view(buf, static_cast<std::size_t>(n)), send_line);
        return;
    }
    if (n < 0) info("anemobus-monitor: reading standard input: %s\n", std::strerror(errno));
    // End of input ends the reading only: -c, -t or a signal end the monitor.
    state.input.end(send_line);
    IvyChannelRemove(channel);
}

void on_time_up(TimerId, void*, unsigned long) {
    IvyStop();
}

// Whether to run; false once --help is printed or the command line refused.
bool read_command_line(int argc, char** argv, int* status) {
    auto parsed = monitor::parse_options(argc, argv, std::getenv("IVYBUS"));
    std::string program = "anemobus-monitor";
    switch (parsed.kind) {
        case monitor::ParseResult::Kind::help:
            std::fputs(monitor::help_text(program).c_str(), stdout);
            *status = 0;
            return false;
        case monitor::ParseResult::Kind::error:
            std::fprintf(stderr, "%s: %s\n%s\n", program.c_str(), parsed.error.c_str(),
                         monitor::usage_line(program).c_str());
            *status = 1;
            return false;
        case monitor::ParseResult::Kind::run:
            break;
    }
    state.options = parsed.options;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // 1. The command line.
    if (int status = 0; !read_command_line(argc, argv, &status)) return status;
    const monitor::Options& opt = state.options;

    // 2. The agent, its bindings, standard input and the time limit.
    IvyInit(opt.name.c_str(), nullptr, on_application, nullptr, on_die, nullptr);
    tools::stop_loop_on_signals();
    for (const std::string& re : opt.regexps) IvyBindMsg(on_message, nullptr, "%s", re.c_str());
    IvyChannelAdd(STDIN_FILENO, nullptr, nullptr, on_input, nullptr);
    if (opt.duration_ms > 0) TimerRepeatAfter(1, opt.duration_ms, on_time_up, nullptr);

    // 3. Join the bus and serve it until a limit, a signal or a Die.
    IvyStart(opt.bus.c_str());
    IvyMainLoop();

    // 4. Leave the bus; lines held back by the report's period are said.
    IvyTerminate();
    say_unsent(true);
    if (state.input.dropped() > 0) {
        std::fprintf(stderr, "anemobus-monitor: %zu input line(s) over %zu bytes not sent\n",
                     state.input.dropped(), max_input_line);
    }
    return state.output_failed ? 1 : 0;
}
