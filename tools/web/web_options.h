// anemobus-web's command line: pure parsing, no I/O, so every case is a test.
//
// Principles: a value that cannot be used (a port out of range, a negative
// limit, zero days of retention) is a usage error, never silently mended; the
// caller prints it with the usage line and exits with status 1. Serving the
// field network is an explicit choice: the default address is loopback. The
// broker's options are taken as the bridge takes them (broker_options.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "broker_options.h"
#include "web_readings.h"

namespace web {

inline constexpr const char* default_name = "anemobus-web";
inline constexpr const char* default_listen_host = "127.0.0.1";
inline constexpr int default_listen_port = 8020;
inline constexpr int default_keep_days = 30;
inline constexpr std::uint32_t default_session_expiry_s = 86400;

struct Options {
    std::string bus;  // empty: $IVYBUS, else the library's default
    std::string name = default_name;
    std::optional<StationId> only_id;
    std::string db_path;  // empty: the default path (default_db_path)
    int keep_days = default_keep_days;
    std::string listen_host = default_listen_host;
    int listen_port = default_listen_port;  // 0: any free port
    std::optional<double> wind_limit;       // m/s
    bool quiet = false;
    mqtt::BrokerOptions broker;  // broker.broker.host empty: no broker
    // MQTT 5: how long the broker keeps our session (what comes while the
    // page is away) once we are gone.
    std::uint32_t session_expiry_s = default_session_expiry_s;
    // --sites: the only sites subscribed to; empty: every site.
    std::vector<std::string> sites;
};

struct ParseResult {
    enum class Kind { run, help, error } kind = Kind::run;
    Options options;
    std::string error;  // for Kind::error: what was wrong, one line
};

ParseResult parse_options(int argc, char* const argv[]);

// "ADDR:PORT", the address an IPv4 address, a name, or [IPv6].
struct ListenAddress {
    std::string host;
    int port = 0;
};
std::optional<ListenAddress> parse_listen(const std::string& text);

// Where the log goes without --db: $STATE_DIRECTORY (its first entry) when
// systemd gives one, else $XDG_STATE_HOME/anemobus, else
// $HOME/.local/state/anemobus; the file is readings.db. Empty when none of
// them is set. The environment is passed in, so this stays pure.
std::string default_db_path(const char* state_directory, const char* xdg_state_home,
                            const char* home);

std::string usage_line(const std::string& program);
std::string help_text(const std::string& program);

}  // namespace web
