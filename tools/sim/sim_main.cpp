// anemobus-sim: a weather station on a pseudo-terminal, for running,
// demonstrating and testing anemobus without one.
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <random>
#include <sstream>

#include "packet_source.h"
#include "pty_port.h"
#include "sim_loop.h"
#include "sim_options.h"
#include "station_session.h"

namespace {

std::optional<sim::PacketSource> packet_source(const sim::Options& options, std::uint64_t seed) {
    if (options.replay_path.empty()) return sim::weather_source(seed, options.fixed);
    std::ifstream file(options.replay_path, std::ios::binary);
    std::ostringstream contents;
    contents << file.rdbuf();
    if (!file) {
        std::fprintf(stderr, "anemobus-sim: cannot read %s\n", options.replay_path.c_str());
        return std::nullopt;
    }
    auto packets = sim::parse_recording(contents.str());
    if (!packets) {
        std::fprintf(stderr, "anemobus-sim: %s: %s\n", options.replay_path.c_str(),
                     packets.error().c_str());
        return std::nullopt;
    }
    return sim::replay_source(std::move(*packets));
}

void block_stop_signals() {
    // Taken through a signalfd by the loop, so that stopping always runs the
    // destructors that remove the link.
    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals, s);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    // 1. Read the command line.
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    const sim::ParseOutcome parsed = sim::parse_command_line(args);
    if (!parsed.options) {
        std::fprintf(stderr, "anemobus-sim: %s\nTry '%s --help'.\n", parsed.error.c_str(), argv[0]);
        return 1;  // as the relay and the monitor do
    }
    const sim::Options& options = *parsed.options;
    if (options.help) {
        std::cout << sim::usage_text(argv[0]);
        return 0;
    }
    const sim::Logger log(options.verbose);
    const std::uint64_t seed = options.seed ? *options.seed : std::random_device{}();
    log("seed " + std::to_string(seed));

    // 2. Choose where the packets come from.
    auto source = packet_source(options, seed);
    if (!source) return 1;
    sim::StationSession session(sim::FaultSchedule(options.faults, seed), std::move(*source), seed,
                                log);
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> record(nullptr, std::fclose);
    if (!options.log_path.empty()) {
        record.reset(std::fopen(options.log_path.c_str(), "w"));
        if (!record) {
            std::fprintf(stderr, "anemobus-sim: cannot write %s: %s\n", options.log_path.c_str(),
                         std::strerror(errno));
            return 1;
        }
        // Line by line, so that the record is whole up to the last poll
        // however the simulator ends.
        std::setvbuf(record.get(), nullptr, _IOLBF, 0);
        session.set_record([file = record.get()](const std::string& line) {
            std::fprintf(file, "%s\n", line.c_str());
        });
    }

    // 3. Create the port and tell the user where it is.
    block_stop_signals();
    auto port = sim::PtyPort::create(options.link_path, options.line_mode);
    if (!port) {
        std::fprintf(stderr, "anemobus-sim: %s\n", port.error().c_str());
        return 1;
    }
    std::printf("%s\n", port->path().c_str());
    std::fflush(stdout);
    log("station on " + port->path() +
        (options.link_path.empty() ? "" : " (link " + options.link_path + ")"));

    // 4. Answer the relay until stopped.
    return sim::run_station(*port, session, log);
}
