#include "app/command_line.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

constexpr char option_string[] = "hab:d:i:s:";

std::int32_t clamp_to_int32(long long value) {
    constexpr long long lowest = std::numeric_limits<std::int32_t>::min();
    constexpr long long highest = std::numeric_limits<std::int32_t>::max();
    if (value < lowest) return std::numeric_limits<std::int32_t>::min();
    if (value > highest) return std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(value);
}

// The options of option_string that are followed by ':'.
bool takes_argument(unsigned char option) {
    return option != 0 && std::strchr("bdis", option) != nullptr;
}

// getopt stores the offending character from a plain char, which is signed
// here: byte 0xE9 arrives as -23. Classifying and printing the byte value
// instead keeps isprint defined and prints "\xe9" rather than "\xffffffe9".
void report_bad_option(int option) {
    const auto byte = static_cast<unsigned char>(option);
    if (takes_argument(byte)) {
        std::fprintf(stderr, "Option -%c requires an argument.\n", byte);
    } else if (std::isprint(byte)) {
        std::fprintf(stderr, "Unknown option `-%c'.\n", byte);
    } else {
        std::fprintf(stderr, "Unknown option character `\\x%x'.\n", static_cast<unsigned>(byte));
    }
}

}  // namespace

std::int32_t decimal_value(const char* text) {
    return clamp_to_int32(std::strtol(text, nullptr, 10));
}

std::int32_t seconds_to_ms(std::int32_t seconds) {
    return clamp_to_int32(static_cast<long long>(seconds) * 1000);
}

void show_usage(const char* program_name) {
    std::fprintf(stderr,
                 "Usage: %s [-a] [-b <bus>] [-d <device>] [-i <aircraft_id>] [-s <delay time in "
                 "seconds>]\n",
                 program_name);
}

ParseOutcome parse_command_line(int argc, char** argv, RunSettings& settings) {
    int option;
    while ((option = getopt(argc, argv, option_string)) != -1) {
        switch (option) {
            case 'h':
                show_usage(argv[0]);
                return ParseOutcome::help_shown;
            case 'a':
                settings.send_alive = true;
                break;
            case 'b':
                settings.bus_domain = optarg;
                break;
            case 'd':
                settings.device_path = optarg;
                break;
            case 'i':
                settings.aircraft_id = decimal_value(optarg);
                break;
            case 's':
                settings.poll_period_ms = seconds_to_ms(decimal_value(optarg));
                break;
            default:
                report_bad_option(optopt);
                show_usage(argv[0]);
                return ParseOutcome::bad_option;
        }
    }
    return ParseOutcome::run;
}
