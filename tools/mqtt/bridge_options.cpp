#include "bridge_options.h"

#include <getopt.h>

#include <cerrno>
#include <cstdlib>

#include "getopt_complaint.h"
#include "option_numbers.h"
#include "result.h"
#include "state_file.h"
#include "topics.h"

namespace mqtt {
namespace {

enum LongOnly { opt_site = 256, opt_outbox, opt_outbox_days };

BridgeParse error(std::string text) {
    BridgeParse r;
    r.kind = BridgeParse::Kind::error;
    r.error = std::move(text);
    return r;
}

bool set(const char* v) {
    return v != nullptr && *v != '\0';
}

// A value that must make a topic level.
tools::Status topic_level_option(const std::string& name, const char* value) {
    const tools::Status level = check_topic_level(value);
    if (level) return {};
    return tools::fail(name + " '" + value + "' cannot be a topic level: " + level.error());
}

tools::Status apply_id(const char* value, BridgeOptions& o) {
    o.only_id = readings::aircraft_id(value);
    if (!o.only_id)
        return tools::wrong_value("-i needs an aircraft id of printable characters", value);
    return topic_level_option("-i", value);
}

tools::Status apply_outbox_days(const char* value, BridgeOptions& o) {
    const auto days = tools::whole_number(value, 1, 3650);
    if (!days)
        return tools::wrong_value("--outbox-days needs a whole number of days from 1 to 3650",
                                  value);
    o.outbox_days = static_cast<int>(*days);
    return {};
}

// One option with a value.
tools::Status apply(int option, const char* value, BridgeOptions& o) {
    if (is_broker_option(option)) return apply_broker_option(option, value, o);
    switch (option) {
        case 'b':
            o.bus = value;
            return {};
        case 'n':
            if (*value == '\0') return tools::fail("the name (-n) must not be empty");
            o.name = value;
            return {};
        case 'i':
            return apply_id(value, o);
        case opt_site:
            o.site = value;
            return topic_level_option("--site", value);
        case opt_outbox:
            if (*value == '\0') return tools::fail("--outbox needs a file name");
            o.outbox_path = value;
            return {};
        case opt_outbox_days:
            return apply_outbox_days(value, o);
        default:
            return tools::fail("unknown option");
    }
}

// What only the options together can say.
tools::Status check_together(const BridgeOptions& o) {
    if (o.broker.host.empty())
        return tools::fail("--broker URL is required (mqtt://host[:port] or mqtts://host[:port])");
    if (tools::Status broker = check_broker_options(o); !broker) return broker;
    if (o.outbox_path.empty()) return tools::fail("no place for the outbox: give --outbox PATH");
    return {};
}

// --site's default: the host name, which must make a topic level too.
tools::Result<std::string> default_site(const char* host_name) {
    if (!set(host_name))
        return tools::fail("no host name to name the site after: give --site NAME");
    if (const tools::Status level = check_topic_level(host_name); !level)
        return tools::fail(std::string("the host name '") + host_name +
                           "' cannot be a topic level (" + level.error() + "): give --site NAME");
    return std::string(host_name);
}

}  // namespace

BridgeParse parse_bridge_options(int argc, char* const argv[], const BridgeEnvironment& env) {
    static const std::vector<option> long_options =
        with_broker_options({{"site", required_argument, nullptr, opt_site},
                             {"outbox", required_argument, nullptr, opt_outbox},
                             {"outbox-days", required_argument, nullptr, opt_outbox_days},
                             {"help", no_argument, nullptr, 'h'}});
    BridgeParse r;
    if (set(env.ivybus)) r.options.bus = env.ivybus;
    r.options.outbox_path = default_outbox_path(env);
    bool help = false;
    const tools::Status read = read_command_line(
        argc, argv, long_options,
        [&](int option, const char* value) { return apply(option, value, r.options); }, &help,
        &r.options.quiet);
    if (help) {
        r.kind = BridgeParse::Kind::help;
        return r;
    }
    if (!read) return error(read.error());
    if (const tools::Status usable = check_together(r.options); !usable)
        return error(usable.error());
    if (r.options.site.empty()) {
        auto site = default_site(env.host_name);
        if (!site) return error(site.error());
        r.options.site = std::move(*site);
    }
    return r;
}

std::string default_outbox_path(const BridgeEnvironment& env) {
    return tools::default_state_file(env.state_directory, env.xdg_state_home, env.home,
                                     "outbox.db");
}

std::string bridge_usage_line(const std::string& program) {
    return "usage: " + program +
           " [-b BUS] [-n NAME] [-i ID] --broker URL [--site NAME] [--outbox PATH]\n"
           "       [--outbox-days N] [--user USER --password-file FILE] [--cafile FILE]\n"
           "       [--cert FILE --key FILE] [--mqtt-version 3.1.1|5] [--allow-cleartext-password]\n"
           "       [-q]";
}

std::string bridge_help_text(const std::string& program) {
    return bridge_usage_line(program) + R"HELP(

Joins an Ivy bus and forwards every weather reading to an MQTT broker, QoS 1,
keeping each one on disk until the broker has acknowledged it.

  -b BUS                the bus, "addresses:port" (default: $IVYBUS, else
                        127.255.255.255:2010)
  -n NAME               our name on the bus (default anemobus-mqtt)
  -i ID                 forward only this aircraft id's readings (default: all)
  --broker URL          mqtt://host[:port] (port 1883), or mqtts://host[:port]
                        (port 8883, TLS, the broker's certificate verified)
  --site NAME           the site's name in the topics (default: the host name)
  --outbox PATH         the readings not yet acknowledged (default:
                        $STATE_DIRECTORY/outbox.db under systemd, else
                        ~/.local/state/anemobus/outbox.db)
  --outbox-days N       keep unacknowledged readings N days (default 7);
                        older ones are dropped, counted and reported
  --user USER           the user name for the broker
  --password-file FILE  the password, the file's first line (never on the
                        command line)
  --cafile FILE         the CA that signed the broker's certificate (PEM);
                        default: the system's CAs
  --cert FILE, --key FILE
                        a client certificate and its key (PEM), for brokers
                        that ask for one
  --mqtt-version V      5 (the default) or 3.1.1, for a broker without MQTT 5
                        (which cannot say that it refused a reading)
  --allow-cleartext-password
                        send the password over mqtt:// to a broker that is
                        not on this machine (refused otherwise)
  -q                    no informational lines on standard error
  -h, --help            this text

Topics, under anemobus/SITE/ID/: weather (every reading, not retained) and
latest (the newest, retained); anemobus/SITE/status is "online" (retained)
while connected, "offline" otherwise. The payload:
  {"time":"2026-12-08T13:42:58.123Z","pressure_pa":101591.65625,
   "temperature_c":22.5,"wind_m_s":4.4704,"direction_deg":180}
time is when the reading came off the bus, in UTC.

When the broker cannot be reached, readings wait in the outbox and are sent
in order once it can; reconnects back off from 1 s to 30 s. Each change
(connected, lost, refused with the broker's reason, certificate rejected) is
reported once on standard error. A reading the broker refuses (MQTT 5: not
authorised, quota exceeded, ...) stays in the outbox, is named, and is sent
again after a wait. While the outbox cannot be written (a full disk), the
readings are forwarded from memory. A message that is not "<id> WEATHER <Pa>
<C> <m/s> <deg>" with four finite numbers is refused and reported. SIGINT and
SIGTERM end the program after "offline" is published; exit status 0, or 1
on bad usage, an outbox or TLS file that cannot be used, or readings taken
that are neither in the outbox nor acknowledged (their number is said).
)HELP";
}

}  // namespace mqtt
