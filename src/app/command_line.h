// The command line: the one place where the relay's settings are made.
//
// Principles:
//  - run_settings is filled once, here, before the port or the bus is
//    touched; every other module only reads it.
//  - Nothing the user types is rejected except an unknown option or a missing
//    argument. Numbers convert like strtol in base 10 with no end test, so
//    "12x" is 12 and "abc" is 0; out-of-range values take the nearest bound.
//  - The text settings point into argv as typed (argv lives as long as the
//    process); nothing is copied, trimmed or validated.
#pragma once

#include <cstdint>

#include "relay_state.h"

enum class ParseOutcome {
    run,         // settings filled: start the relay
    help_shown,  // -h: the usage line was written; end with status 0
    bad_option,  // diagnostics and the usage line were written; end with status 1
};

// Scans argv with getopt("hab:d:i:s:") left to right into settings; a later
// option overrides an earlier one and operands are ignored. Stops at -h.
// getopt's own messages stay enabled, so for a bad option the scanner's text
// comes first, then ours, then the usage line. Uses getopt's global state:
// callers that scan twice in one process reset optind first.
ParseOutcome parse_command_line(int argc, char** argv, RunSettings& settings);

// Writes the one-line usage text for program_name to standard error.
void show_usage(const char* program_name);

// strtol base 10 with no end test, clamped to the signed 32-bit range.
std::int32_t decimal_value(const char* text);

// seconds × 1000, saturated at the signed 32-bit bounds instead of wrapping.
std::int32_t seconds_to_ms(std::int32_t seconds);
