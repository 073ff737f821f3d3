#include "web_options.h"

#include <getopt.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "getopt_complaint.h"
#include "option_numbers.h"
#include "result.h"
#include "state_file.h"
#include "topics.h"

namespace web {
namespace {

enum LongOnly {
    opt_db = 256,
    opt_keep_days,
    opt_listen,
    opt_wind_limit,
    opt_session_expiry,
    opt_sites
};

// "north,south": each a topic level (no '/', '+', '#', control characters),
// each once.
tools::Result<std::vector<std::string>> parse_sites(std::string_view value) {
    std::vector<std::string> sites;
    for (std::string_view rest = value;;) {
        const auto comma = rest.find(',');
        const std::string site(rest.substr(0, comma));
        if (!mqtt::is_topic_level(site) || !StationId::from(site))
            return tools::wrong_value("--sites needs site names separated by commas", value);
        if (std::find(sites.begin(), sites.end(), site) == sites.end()) sites.push_back(site);
        if (comma == std::string_view::npos) return sites;
        rest.remove_prefix(comma + 1);
    }
}

ParseResult error(std::string text) {
    ParseResult r;
    r.kind = ParseResult::Kind::error;
    r.error = std::move(text);
    return r;
}

bool parse_int(const char* text, long low, long high, int* out) {
    const auto value = tools::whole_number(text, low, high);
    if (value) *out = static_cast<int>(*value);
    return value.has_value();
}

using tools::wrong_value;

tools::Status apply_session_expiry(const char* value, Options& o) {
    int seconds = 0;
    if (!parse_int(value, 1, 0x7fffffff, &seconds))
        return wrong_value("--session-expiry needs a whole number of seconds above 0", value);
    o.session_expiry_s = static_cast<std::uint32_t>(seconds);
    return {};
}

tools::Status apply_sites(const char* value, Options& o) {
    auto sites = parse_sites(value);
    if (!sites) return sites.failure();
    o.sites = std::move(*sites);
    return {};
}

tools::Status apply_wind_limit(const char* value, Options& o) {
    Refusal why = Refusal::none;
    auto limit = parse_value(value, &why);
    if (!limit || *limit <= 0 || *limit > max_wind_m_s)
        return wrong_value("--wind-limit needs a speed in m/s above 0, at most 150", value);
    o.wind_limit = *limit;
    return {};
}

// One option with a value.
tools::Status apply(int option, const char* value, Options& o) {
    if (mqtt::is_broker_option(option)) return mqtt::apply_broker_option(option, value, o.broker);
    switch (option) {
        case 'b':
            o.bus = value;
            return {};
        case 'n':
            if (*value == '\0') return tools::fail("the name (-n) must not be empty");
            o.name = value;
            return {};
        case 'i':
            o.only_id = StationId::from(value);
            if (!o.only_id)
                return wrong_value("-i needs an aircraft id (or SITE/ID) of printable characters",
                                   value);
            return {};
        case opt_db:
            if (*value == '\0') return tools::fail("--db needs a path");
            o.db_path = value;
            return {};
        case opt_keep_days:
            if (!parse_int(value, 1, 36500, &o.keep_days))
                return wrong_value("--keep-days needs a whole number of days above 0", value);
            return {};
        case opt_listen:
            if (const auto listen = parse_listen(value)) {
                o.listen_host = listen->host;
                o.listen_port = listen->port;
                return {};
            }
            return wrong_value("--listen needs ADDR:PORT (e.g. 0.0.0.0:8020)", value);
        case opt_session_expiry:
            return apply_session_expiry(value, o);
        case opt_sites:
            return apply_sites(value, o);
        case opt_wind_limit:
            return apply_wind_limit(value, o);
        default:
            return tools::fail("unknown option");
    }
}

// What only the options together can say.
tools::Status check_together(const Options& o) {
    if (tools::Status broker = mqtt::check_broker_options(o.broker); !broker) return broker;
    const bool with_broker = !o.broker.broker.host.empty();
    if (o.only_id && with_broker && o.only_id->view().find('/') == std::string_view::npos)
        return tools::fail(
            "-i with --broker keeps one station from the broker: give it as SITE/ID");
    if (!o.sites.empty() && !with_broker) return tools::fail("--sites goes with --broker URL");
    return {};
}

}  // namespace

std::optional<ListenAddress> parse_listen(const std::string& text) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return std::nullopt;
    std::string host = text.substr(0, colon);
    if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']') return std::nullopt;
        host = host.substr(1, host.size() - 2);
    } else if (host.find(':') != std::string::npos) {
        return std::nullopt;  // an IPv6 address needs its brackets
    }
    const auto port = tools::whole_number(std::string_view(text).substr(colon + 1), 0, 65535);
    if (!port) return std::nullopt;
    return ListenAddress{std::move(host), static_cast<int>(*port)};
}

ParseResult parse_options(int argc, char* const argv[]) {
    static const std::vector<option> long_options = mqtt::with_broker_options(
        {{"db", required_argument, nullptr, opt_db},
         {"keep-days", required_argument, nullptr, opt_keep_days},
         {"listen", required_argument, nullptr, opt_listen},
         {"wind-limit", required_argument, nullptr, opt_wind_limit},
         {"session-expiry", required_argument, nullptr, opt_session_expiry},
         {"sites", required_argument, nullptr, opt_sites},
         {"help", no_argument, nullptr, 'h'}});
    ParseResult r;
    bool help = false;
    const tools::Status read = mqtt::read_command_line(
        argc, argv, long_options,
        [&](int option, const char* value) { return apply(option, value, r.options); }, &help,
        &r.options.quiet);
    if (help) {
        r.kind = ParseResult::Kind::help;
        return r;
    }
    if (!read) return error(read.error());
    if (const tools::Status usable = check_together(r.options); !usable)
        return error(usable.error());
    return r;
}

std::string default_db_path(const char* state_directory, const char* xdg_state_home,
                            const char* home) {
    return tools::default_state_file(state_directory, xdg_state_home, home, "readings.db");
}

std::string usage_line(const std::string& program) {
    return "usage: " + program +
           " [-b bus] [-n name] [-i id] [--db PATH] [--keep-days N] [--listen ADDR:PORT]\n"
           "       [--wind-limit M/S] [--broker URL [--user USER --password-file FILE]\n"
           "       [--cafile FILE] [--cert FILE --key FILE] [--mqtt-version 3.1.1|5]\n"
           "       [--session-expiry SECONDS] [--sites SITE,...] [--allow-cleartext-password]]\n"
           "       [-q]";
}

std::string help_text(const std::string& program) {
    return usage_line(program) + R"HELP(

Joins an Ivy bus, records every weather reading in an SQLite log and serves a
live weather page with its charts, and the readings as JSON and CSV. With
--broker it also takes every site's readings from an MQTT broker.

  -b bus              the bus, "addresses:port" (default: $IVYBUS, else
                      127.255.255.255:2010)
  -n name             our name on the bus (default anemobus-web)
  -i id               keep only this station's readings (default: all): an
                      aircraft id on the bus, or SITE/ID from the broker
  --db PATH           the reading log (default: $STATE_DIRECTORY/readings.db
                      under systemd, else ~/.local/state/anemobus/readings.db)
  --keep-days N       delete readings older than N days (default 30)
  --listen ADDR:PORT  serve the page there (default 127.0.0.1:8020; port 0
                      takes any free port). 0.0.0.0:8020 serves the field
                      network: there is no login, anyone who can reach it
                      sees the readings.
  --wind-limit M/S    the wind limit the page starts with, at most 150 (it
                      can be changed on the page, for that browser)
  --broker URL        also subscribe to anemobus/+/+/weather on this broker:
                      mqtt://host[:port] (1883) or mqtts://host[:port]
                      (8883, TLS, the broker's certificate verified); each
                      site's aircraft is a station named SITE/ID
  --user USER         the user name for the broker
  --password-file FILE
                      the password, the file's first line (never on the
                      command line)
  --cafile FILE       the CA of the broker's certificate (PEM); default: the
                      system's CAs
  --cert FILE, --key FILE
                      a client certificate and its key (PEM)
  --mqtt-version V    5 (the default) or 3.1.1, for a broker without MQTT 5
  --session-expiry SECONDS
                      how long the broker keeps what comes for the page
                      once it is gone (MQTT 5; default 86400, a day)
  --sites LIST        subscribe to these sites only (north,south): no other
                      publisher can take the page's stations
  --allow-cleartext-password
                      send the password over mqtt:// to a broker that is
                      not on this machine (refused otherwise)
  -q                  no informational lines on standard error
  -h, --help          this text

The page: http://ADDR:PORT/. The data: /api/latest, /api/readings?from=&to=
(JSON, downsampled), /api/readings.csv?from=&to= (every reading), with times
as milliseconds since the epoch or ISO 8601 in UTC (2026-06-01T14:00Z).

A message that is not "<id> WEATHER <Pa> <C> <m/s> <deg>" with four finite
numbers, within what a station measures (300-1200 hPa, -100 to 80 C, 0-150
m/s), is refused, counted and reported on standard error (at most one line
every ten seconds). A reading from the broker keeps the time in its payload:
it is refused when that time is more than 5 s ahead of this machine's clock,
or older than --keep-days; one that comes twice is kept once. A log that cannot be opened or written is reported, and
the page goes on showing live readings. The broker's connection is kept up
on a thread of its own, reconnecting from 1 s to 30 s apart; each change
(connected, lost, refused with the broker's reason, certificate rejected) is
one line on standard error. SIGINT and SIGTERM end the program after the log
is written; exit status 0, or 1 on bad usage (a password file or TLS file
that cannot be used included), when the page cannot be served, or when
readings taken are not in the log.
)HELP";
}

}  // namespace web
