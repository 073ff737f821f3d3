#include "monitor_options.h"

#include <getopt.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>

#include "../common/getopt_complaint.h"
#include "../common/option_numbers.h"

namespace monitor {
namespace {

// getopt keeps its position in globals; parsing twice in one process (the
// tests do) must start over.
void reset_getopt() {
    optind = 0;
    opterr = 0;
}

bool parse_count(const char* text, long& out) {
    const auto value = tools::whole_number(text, 1, LONG_MAX);
    if (value) out = *value;
    return value.has_value();
}

// Seconds as a decimal (tests use fractions); at most a year, which keeps the
// millisecond value far from overflow.
bool parse_seconds(const char* text, long& out_ms) {
    errno = 0;
    char* end = nullptr;
    double s = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !std::isfinite(s)) return false;
    if (s <= 0 || s > 366.0 * 24 * 3600) return false;
    out_ms = std::max(1L, std::lround(s * 1000.0));
    return true;
}

ParseResult error(std::string text) {
    ParseResult r;
    r.kind = ParseResult::Kind::error;
    r.error = std::move(text);
    return r;
}

}  // namespace

ParseResult parse_options(int argc, char* const argv[], const char* ivybus) {
    static const option long_options[] = {{"help", no_argument, nullptr, 'h'},
                                          {nullptr, 0, nullptr, 0}};
    reset_getopt();
    ParseResult r;
    if (ivybus != nullptr && *ivybus != '\0') r.options.bus = ivybus;
    const char* const short_options = ":b:n:c:t:qh";
    int c;
    while ((c = getopt_long(argc, argv, short_options, long_options, nullptr)) != -1) {
        switch (c) {
            case 'b':
                r.options.bus = optarg;
                break;
            case 'n':
                if (*optarg == '\0') return error("the name (-n) must not be empty");
                r.options.name = optarg;
                break;
            case 'c':
                if (!parse_count(optarg, r.options.max_messages)) {
                    return error(std::string("-c needs a whole number above 0, not '") + optarg +
                                 "'");
                }
                break;
            case 't':
                if (!parse_seconds(optarg, r.options.duration_ms)) {
                    return error(std::string("-t needs a number of seconds above 0, not '") +
                                 optarg + "'");
                }
                break;
            case 'q':
                r.options.quiet = true;
                break;
            case 'h':
                r.kind = ParseResult::Kind::help;
                return r;
            default:
                return error(tools::getopt_complaint(c, short_options, argv));
        }
    }
    for (int i = optind; i < argc; ++i) r.options.regexps.emplace_back(argv[i]);
    if (r.options.regexps.empty()) r.options.regexps.emplace_back("(.*)");
    return r;
}

std::string usage_line(const std::string& program) {
    return "usage: " + program + " [-b bus] [-n name] [-c count] [-t seconds] [-q] [regexp...]";
}

std::string help_text(const std::string& program) {
    return usage_line(program) + R"HELP(

Joins an Ivy bus, prints the messages that match the regexps (default "(.*)"),
and sends every line read from standard input as a message.

  -b bus      the bus, "addresses:port" (default $IVYBUS when set, else
              127.255.255.255:2010)
  -n name     our name on the bus (default anemobus-monitor)
  -c count    stop after receiving that many messages
  -t seconds  stop after that many seconds (fractions allowed)
  -q          no informational lines on standard error
  -h, --help  this text

Output: one line per received message on standard output, flushed at once:
the sender's name, then each captured field, separated by tabs. In the name
and fields a backslash, tab, line feed and carriage return are written as
\\, \t, \n and \r, and other control bytes as \xHH, so a line always has
exactly 1 + (number of fields) tab-separated columns.

Informational lines (peers connecting and leaving, how many peers a line was
sent to) go to standard error.

Standard input: each line (without its line feed) is sent as one message. End
of input stops the reading, not the monitor: it runs until -c or -t is met, or
SIGINT or SIGTERM. Exit status: 0 on a normal end, 1 on bad usage or when
standard output cannot be written.
)HELP";
}

}  // namespace monitor
