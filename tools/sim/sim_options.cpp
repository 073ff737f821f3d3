#include "sim_options.h"

#include <array>
#include <charconv>
#include <cmath>
#include <functional>

namespace sim {

namespace {

struct Parser {
    explicit Parser(const std::vector<std::string_view>& arguments) : args(arguments) {}
    const std::vector<std::string_view>& args;
    std::size_t at = 0;
    Options options;
    std::string error;
    bool fixed_seen = false;

    bool run();
    bool handle(std::string_view name, std::optional<std::string_view> inline_value);
    std::optional<std::string_view> value_for(std::string_view name,
                                              std::optional<std::string_view> inline_value);
    bool fail(std::string message) {
        error = std::move(message);
        return false;
    }
};

template <typename T>
std::optional<T> parse_number(std::string_view text) {
    T value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::vector<std::string_view> split_fields(std::string_view text) {
    std::vector<std::string_view> fields;
    for (;;) {
        const auto comma = text.find(',');
        fields.push_back(text.substr(0, comma));
        if (comma == std::string_view::npos) return fields;
        text.remove_prefix(comma + 1);
    }
}

template <typename Word>
bool set_raw(std::string_view text, long low, long high, std::optional<Word>* slot) {
    const auto v = parse_number<long>(text);
    if (!v || *v < low || *v > high) return false;
    // Negative temperatures are stored as the station stores them: two's complement.
    *slot = static_cast<Word>(*v < 0 ? *v + 0x10000 : *v);
    return true;
}

template <typename Word>
bool set_physical(std::string_view text, std::optional<Word> (*convert)(double),
                  std::optional<Word>* slot) {
    const auto v = parse_number<double>(text);
    if (!v) return false;
    *slot = convert(*v);
    return slot->has_value();
}

std::optional<std::uint16_t> direction_from_number(double d) {
    if (!(d >= -0.5 && d < 65535.5)) return std::nullopt;
    return static_cast<std::uint16_t>(std::floor(d + 0.5));
}

// Reading i of "P,T,W,D" as the word the station sends.
bool set_raw_reading(std::size_t i, std::string_view text, FixedReadings* fixed) {
    return i == 0   ? set_raw(text, 0, 0xFFFF, &fixed->pressure)
           : i == 1 ? set_raw(text, -0x8000, 0xFFFF, &fixed->temperature)
           : i == 2 ? set_raw(text, 0, 0xFF, &fixed->wind_speed)
                    : set_raw(text, 0, 0xFFFF, &fixed->direction);
}

// Reading i of "P,T,W,D" in the units the relay publishes.
bool set_physical_reading(std::size_t i, std::string_view text, FixedReadings* fixed) {
    return i == 0   ? set_physical(text, pressure_from_pascals, &fixed->pressure)
           : i == 1 ? set_physical(text, temperature_from_celsius, &fixed->temperature)
           : i == 2 ? set_physical(text, wind_from_metres_per_second, &fixed->wind_speed)
                    : set_physical(text, direction_from_number, &fixed->direction);
}

// "P,T,W,D"; an empty field leaves that reading to the weather.
tools::Status parse_fixed(std::string_view text, bool raw, FixedReadings* fixed) {
    const auto fields = split_fields(text);
    if (fields.size() != 4)
        return tools::fail(
            "expected four comma-separated readings (pressure,temperature,wind,direction)");
    static constexpr std::array<std::string_view, 4> names{"pressure", "temperature", "wind speed",
                                                           "direction"};
    for (std::size_t i = 0; i < 4; ++i) {
        if (fields[i].empty()) continue;
        const bool ok =
            raw ? set_raw_reading(i, fields[i], fixed) : set_physical_reading(i, fields[i], fixed);
        if (!ok)
            return tools::fail(std::string(names[i]) + " '" + std::string(fields[i]) +
                               "' is not a number the station's word can hold");
    }
    return {};
}

std::string_view long_name_of(std::string_view arg) {
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 10> shorts{{
        {"-l", "link"},
        {"-m", "line-mode"},
        {"-f", "fixed"},
        {"-r", "fixed-raw"},
        {"-p", "replay"},
        {"-F", "fault"},
        {"-s", "seed"},
        {"-v", "verbose"},
        {"-L", "log"},
        {"-h", "help"},
    }};
    for (const auto& [s, l] : shorts)
        if (arg == s) return l;
    return {};
}

bool Parser::run() {
    for (; at < args.size(); ++at) {
        const std::string_view arg = args[at];
        std::string_view name;
        std::optional<std::string_view> inline_value;
        if (arg.substr(0, 2) == "--" && arg.size() > 2) {
            name = arg.substr(2);
            if (const auto eq = name.find('='); eq != std::string_view::npos) {
                inline_value = name.substr(eq + 1);
                name = name.substr(0, eq);
            }
        } else {
            name = long_name_of(arg);
            if (name.empty()) return fail("unexpected argument '" + std::string(arg) + "'");
        }
        if (!handle(name, inline_value)) return false;
    }
    if (!options.replay_path.empty() && fixed_seen)
        return fail("--replay serves recorded packets and cannot be combined with --fixed");
    return true;
}

std::optional<std::string_view> Parser::value_for(std::string_view name,
                                                  std::optional<std::string_view> inline_value) {
    if (inline_value) return inline_value;
    if (at + 1 < args.size()) return args[++at];
    fail("option --" + std::string(name) + " needs a value");
    return std::nullopt;
}

bool Parser::handle(std::string_view name, std::optional<std::string_view> inline_value) {
    if (name == "verbose" || name == "help") {
        if (inline_value) return fail("option --" + std::string(name) + " takes no value");
        (name == "verbose" ? options.verbose : options.help) = true;
        return true;
    }
    const std::string n(name);
    if (n != "link" && n != "fixed" && n != "fixed-raw" && n != "replay" && n != "fault" &&
        n != "seed" && n != "log" && n != "line-mode")
        return fail("unknown option --" + n);
    const auto value = value_for(name, inline_value);
    if (!value) return false;
    if (value->empty() && (n == "link" || n == "replay" || n == "log"))
        return fail("--" + n + " needs a path");
    std::string why;
    if (n == "link") {
        options.link_path = *value;
    } else if (n == "replay") {
        options.replay_path = *value;
    } else if (n == "log") {
        options.log_path = *value;
    } else if (n == "line-mode") {
        if (*value != "raw" && *value != "fresh")
            return fail("--line-mode takes raw or fresh, not '" + std::string(*value) + "'");
        options.line_mode = *value == "fresh" ? LineMode::fresh : LineMode::raw;
    } else if (n == "seed") {
        options.seed = parse_number<std::uint64_t>(*value);
        if (!options.seed)
            return fail("--seed takes a whole number, not '" + std::string(*value) + "'");
    } else if (n == "fault") {
        auto rule = parse_fault_rule(*value);
        if (!rule) return fail("--fault " + std::string(*value) + ": " + rule.error());
        options.faults.push_back(std::move(*rule));
    } else {
        fixed_seen = true;
        if (const tools::Status fixed = parse_fixed(*value, n == "fixed-raw", &options.fixed);
            !fixed)
            return fail("--" + n + " " + std::string(*value) + ": " + fixed.error());
    }
    return true;
}

}  // namespace

ParseOutcome parse_command_line(const std::vector<std::string_view>& args) {
    Parser parser(args);
    if (parser.run()) return {std::move(parser.options), {}};
    for (std::string_view arg : args) {
        if (arg == "-h" || arg == "--help") {
            Options help_only;
            help_only.help = true;
            return {help_only, {}};
        }
    }
    return {std::nullopt, parser.error};
}

std::string usage_text(std::string_view program) {
    std::string text = "Usage: " + std::string(program) + " [options]\n";
    text += R"(
Simulates the weather station on a pseudo-terminal so that anemobus can run
without one. Prints the pseudo-terminal's path on standard output, then
answers the station protocol until it is killed: a line feed with "\n\r",
"LOOP 1\n" with the acknowledgement 0x06 and a 99-byte packet, at once.
Like a real serial port, answers due while no program holds the port open
are lost.

Options:
  -l, --link PATH        also make PATH a symbolic link to the pseudo-terminal
                         (an existing link there is replaced, a file is not)
  -m, --line-mode MODE   raw (the default): the line as anemobus needs it;
                         fresh: as a USB serial adapter comes from the kernel
                         (canonical, echo, CR/LF mapped), to check that a
                         set-up command prepares the line
  -f, --fixed P,T,W,D    fixed readings in physical units: pressure in pascals,
                         temperature in degrees Celsius, wind speed in metres
                         per second, direction as the station gives it; an
                         empty field follows the weather (e.g. --fixed ,20,,)
  -r, --fixed-raw P,T,W,D
                         fixed readings as the station's raw words: thousandths
                         of an inch of mercury, tenths of a degree Fahrenheit
                         (negative: stored as two's complement), miles per
                         hour (0-255), direction word (0-65535)
  -p, --replay FILE      serve the packets recorded in FILE in order, starting
                         again after the last: 99-byte packets back to back, or
                         text with 198 hex digits per line ('#' comments)
  -F, --fault RULE       show a fault; may be given several times, the first
                         rule that strikes a poll decides (see below)
  -s, --seed N           seed for the weather, probabilities and garbage
                         (default: random, shown with -v)
  -v, --verbose          log every byte exchanged and every event on standard
                         error, with milliseconds since start
  -L, --log FILE         write every poll (number and fault) and every packet
                         served (its bytes in hex) to FILE, one line each
  -h, --help             show this text

Without --fixed or --replay the weather is plausible and varies slowly:
drifting pressure, gusts, a veering wind.

Fault rules: KIND[=N][@POLLS | :PROBABILITY]. A poll is one exchange cycle
of the relay, numbered from 1. POLLS is a list such as 3, 2-5, 7- or 1,4,9-;
PROBABILITY is a number above 0 and at most 1; with neither, every poll.
  silent         answer nothing
  wrong-wakeup   answer each line feed with "\n\n"
  late[=MS]      answer each line feed MS ms late (default 50)
  drowsy[=N]     ignore the first N line feeds of the poll (default 3)
  no-ack         answer the wake-up, ignore the request
  wrong-ack[=B]  byte B (default 0x15) instead of 0x06, then the packet
  short[=N]      acknowledgement and only N bytes of the packet (default 50)
  no-mark        a whole packet that does not start with "LOO"
  garbage[=N]    N random bytes (default 8) in place of every answer
  stale[=N]      N bytes left over from the last packet ahead of the wake-up
                 answer (default 2)
  unplug         the device disappears (link and pseudo-terminal removed) at
                 the poll's first byte; the simulator then exits
Examples: --fault silent@3   --fault short=40:0.2   --fault unplug@5
)";
    return text;
}

}  // namespace sim
