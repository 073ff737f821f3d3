// The monitor's command line: pure parsing, no I/O, so every case is a test.
//
// Principles: a value that cannot be used (a count of 0, a negative or absurd
// duration, a stray argument to -c) is a usage error, never silently mended;
// the caller prints the error with the usage text and exits with status 1.
#pragma once

#include <string>
#include <vector>

#include <Ivy/ivy.h>

namespace monitor {

inline constexpr const char* default_name = "anemobus-monitor";

struct Options {
    std::string bus = IVY_DEFAULT_BUS;
    std::string name = default_name;
    std::vector<std::string> regexps;  // never empty after parsing: "(.*)" by default
    long max_messages = 0;             // 0: no limit
    long duration_ms = 0;              // 0: no limit
    bool quiet = false;
};

struct ParseResult {
    enum class Kind { run, help, error } kind = Kind::run;
    Options options;
    std::string error;  // for error: what was wrong, one line
};

// Parses argv (argv[0] is the program). Options may follow the regexps;
// "--" ends the options (for a regexp that starts with '-'). Without -b the
// bus is ivybus (the caller passes $IVYBUS, as Ivy tools take it) when that
// is set and not empty, else default_bus.
ParseResult parse_options(int argc, char* const argv[], const char* ivybus = nullptr);

// The one-line usage, and the full help text that documents the output.
std::string usage_line(const std::string& program);
std::string help_text(const std::string& program);

}  // namespace monitor
