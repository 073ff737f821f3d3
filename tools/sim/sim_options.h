// The simulator's command line, read into one record. Pure: the arguments
// go in, the options or a one-line reason come out; main prints and exits.
//
// Principles: every value is checked here, physical readings are converted
// to the station's raw words here, and nothing later has to doubt them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fault_schedule.h"
#include "pty_port.h"
#include "station_packet.h"

namespace sim {

struct Options {
    std::string link_path;               // --link: a symbolic link to make, or empty
    FixedReadings fixed;                 // --fixed, --fixed-raw
    std::string replay_path;             // --replay: recorded packets, or empty
    std::string log_path;                // --log: the record of polls and packets, or empty
    LineMode line_mode = LineMode::raw;  // --line-mode
    std::vector<FaultRule> faults;
    std::optional<std::uint64_t> seed;
    bool verbose = false;
    bool help = false;
};

struct ParseOutcome {
    std::optional<Options> options;  // nullopt when the command line is wrong
    std::string error;               // why, in one line
};

// Reads the arguments that follow the program name. Options take their value
// as the next argument or after '=' (--seed=4); short forms are listed in
// usage_text. A command line that asks for help anywhere gets it, even when
// something else on it is wrong.
ParseOutcome parse_command_line(const std::vector<std::string_view>& args);

// The --help text.
std::string usage_text(std::string_view program);

}  // namespace sim
