// anemobus-mqtt's command line: pure parsing, the environment passed in, so
// that every case is a test.
//
// Principles: a value that cannot be used is a usage error with a one-line
// reason, never silently mended (exit status 1). The broker's options are
// those of broker_options.h, taken as every tool takes them.
#pragma once

#include <optional>
#include <string>

#include "broker_options.h"
#include "weather_message.h"

namespace mqtt {

inline constexpr const char* default_bridge_name = "anemobus-mqtt";
inline constexpr int default_outbox_days = 7;

struct BridgeOptions : BrokerOptions {
    std::string bus;  // empty: the library's default
    std::string name = default_bridge_name;
    std::optional<readings::StationId> only_id;
    std::string site;
    std::string outbox_path;
    int outbox_days = default_outbox_days;
    bool quiet = false;
};

// What the defaults come from.
struct BridgeEnvironment {
    const char* ivybus = nullptr;
    const char* host_name = nullptr;
    const char* state_directory = nullptr;
    const char* xdg_state_home = nullptr;
    const char* home = nullptr;
};

struct BridgeParse {
    enum class Kind { run, help, error } kind = Kind::run;
    BridgeOptions options;
    std::string error;  // for Kind::error: what was wrong, one line
};

BridgeParse parse_bridge_options(int argc, char* const argv[], const BridgeEnvironment& env);

// Where the outbox goes without --outbox: $STATE_DIRECTORY (its first entry)
// under systemd, else $XDG_STATE_HOME/anemobus, else ~/.local/state/anemobus;
// the file is outbox.db. Empty when none of them is set.
std::string default_outbox_path(const BridgeEnvironment& env);

std::string bridge_usage_line(const std::string& program);
std::string bridge_help_text(const std::string& program);

}  // namespace mqtt
