// The options that name a broker and how to log in to it, taken alike by
// every tool that talks to one (the bridge, the page): --broker, --user,
// --password-file, --cafile, --cert and --key, and the connection settings
// made from them.
//
// Principles: a password is never taken on the command line, where `ps` and
// shell histories would show it: --password is refused with a pointer to
// --password-file. TLS files with a plain mqtt:// broker are an error, not
// ignored, since the user plainly meant the link to be encrypted. A password
// over plain mqtt:// to a broker that is not on this machine is refused
// unless --allow-cleartext-password says it is meant: a warning scrolls by
// in a journal while the password crosses the network on every reconnect,
// and the likeliest cause is a mistake (mqtt:// given a TLS port, or a
// forgotten s). Parsing is pure; only client_settings() reads a file.
#pragma once

#include <getopt.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "broker_url.h"
#include "mqtt_client.h"
#include "result.h"
#include "tls_context.h"

namespace mqtt {

struct BrokerOptions {
    BrokerUrl broker;  // host empty: no --broker given
    std::string user;
    std::string password_file;  // empty: no password
    TlsFiles tls;
    Protocol protocol = Protocol::v5;
    bool cleartext_password_allowed = false;
};

// The getopt_long values of these options, above any short option and any
// long option of the tools' own (which they number from 256).
enum BrokerOption {
    opt_broker = 512,
    opt_user,
    opt_password_file,
    opt_password,  // refused, with the reason
    opt_cafile,
    opt_cert,
    opt_key,
    opt_mqtt_version,
    opt_allow_cleartext_password,
};

// Their entries for a getopt_long table, which the tool copies into its own.
inline constexpr option broker_long_options[] = {
    {"broker", required_argument, nullptr, opt_broker},
    {"user", required_argument, nullptr, opt_user},
    {"password-file", required_argument, nullptr, opt_password_file},
    {"password", optional_argument, nullptr, opt_password},
    {"cafile", required_argument, nullptr, opt_cafile},
    {"cert", required_argument, nullptr, opt_cert},
    {"key", required_argument, nullptr, opt_key},
    {"mqtt-version", required_argument, nullptr, opt_mqtt_version},
    {"allow-cleartext-password", no_argument, nullptr, opt_allow_cleartext_password},
};

// Whether host names this machine: localhost, 127.0.0.0/8 or ::1. A name
// that resolves there is not known without a lookup, and counts as remote.
bool is_loopback_host(const std::string& host);

// A getopt_long table: the tool's own long options, these, and the end.
std::vector<option> with_broker_options(std::initializer_list<option> own);

// The command line of a tool on the bus and a broker (the bridge, the
// page): -b, -n and -i (with a value), -q, -h, and the long options of the
// table. getopt's complaints and stray arguments are its failure; -h and -q
// are noted in *help and *quiet (-h ends the reading); every other option
// goes to apply, whose failure ends it too. --password's value, if one was
// given, never reaches apply.
using ApplyOption = std::function<tools::Status(int option, const char* value)>;
tools::Status read_command_line(int argc, char* const argv[],
                                const std::vector<option>& long_options, const ApplyOption& apply,
                                bool* help, bool* quiet);

bool is_broker_option(int option);
// Takes one of them.
tools::Status apply_broker_option(int option, const char* value, BrokerOptions& options);
// What only the options together can say. Without --broker, any other of
// them is an error.
tools::Status check_broker_options(const BrokerOptions& options);

// A password file's first line, and what to warn of about the file.
struct Password {
    std::string text;
    std::string warning;  // empty when none
};

// The password: the file's first line, without its line end. Fails when the
// file cannot be read or the line is empty. A file every user of the machine
// can read gives a warning.
tools::Result<Password> read_password_file(const std::string& path);

// The connection's settings, and a warning to print before using them.
struct ClientSetup {
    ClientSettings settings;
    std::string warning;  // empty when none
};

// The connection's settings from the options, the password read from its
// file; the settings the options do not name keep their defaults.
tools::Result<ClientSetup> client_settings(const BrokerOptions& options);

}  // namespace mqtt
