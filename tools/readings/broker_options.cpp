#include "broker_options.h"

#include <arpa/inet.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <string_view>
#include <system_error>

#include "getopt_complaint.h"

namespace mqtt {
namespace {

std::string path_option(const char* name, const char* value, std::string* out) {
    if (*value == '\0') return std::string(name) + " needs a file name";
    *out = value;
    return "";
}

}  // namespace

std::vector<option> with_broker_options(std::initializer_list<option> own) {
    std::vector<option> table(own);
    table.insert(table.end(), std::begin(broker_long_options), std::end(broker_long_options));
    table.push_back({nullptr, 0, nullptr, 0});
    return table;
}

std::string read_command_line(int argc, char* const argv[], const std::vector<option>& long_options,
                              const ApplyOption& apply, bool* help, bool* quiet) {
    // getopt keeps its position in globals; the tests parse many times.
    optind = 0;
    opterr = 0;
    const char* const short_options = ":b:n:i:qh";
    int c;
    while ((c = getopt_long(argc, argv, short_options, long_options.data(), nullptr)) != -1) {
        if (c == 'h') {
            *help = true;
            return "";
        }
        if (c == 'q') {
            *quiet = true;
            continue;
        }
        if (c == ':' || c == '?') return tools::getopt_complaint(c, short_options, argv);
        const char* value = c == opt_password || optarg == nullptr ? "" : optarg;
        std::string problem = apply(c, value);
        if (!problem.empty()) return problem;
    }
    if (optind < argc) return std::string("unexpected argument '") + argv[optind] + "'";
    return "";
}

bool is_broker_option(int option) {
    return std::any_of(std::begin(broker_long_options), std::end(broker_long_options),
                       [option](const struct option& o) { return o.val == option; });
}

std::string apply_broker_option(int option, const char* value, BrokerOptions& o) {
    std::string why;
    switch (option) {
        case opt_broker: {
            auto url = parse_broker_url(value);
            if (url) o.broker = *url;
            return url ? "" : "--broker '" + std::string(value) + "': " + url.error();
        }
        case opt_user:
            if (*value == '\0') return "--user needs a user name";
            o.user = value;
            return "";
        case opt_password_file:
            return path_option("--password-file", value, &o.password_file);
        case opt_password:
            return "a password is never taken on the command line: put it in a file readable "
                   "only by you and give --password-file FILE";
        case opt_cafile:
            return path_option("--cafile", value, &o.tls.cafile);
        case opt_cert:
            return path_option("--cert", value, &o.tls.certfile);
        case opt_key:
            return path_option("--key", value, &o.tls.keyfile);
        case opt_mqtt_version:
            if (std::string_view(value) == "5")
                o.protocol = Protocol::v5;
            else if (std::string_view(value) == "3.1.1")
                o.protocol = Protocol::v311;
            else
                return "--mqtt-version '" + std::string(value) + "': 3.1.1 or 5";
            return "";
        case opt_allow_cleartext_password:
            o.cleartext_password_allowed = true;
            return "";
        default:
            return "unknown option";
    }
}

bool is_loopback_host(const std::string& host) {
    in_addr v4{};
    if (::inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    return host == "localhost" || host == "::1";
}

std::string check_broker_options(const BrokerOptions& o) {
    const bool tls_files = !o.tls.cafile.empty() || !o.tls.certfile.empty();
    if (o.broker.host.empty() && (tls_files || !o.user.empty() || !o.password_file.empty()))
        return "--user, --password-file, --cafile, --cert and --key go with --broker URL";
    if (!o.password_file.empty() && o.user.empty()) return "--password-file needs --user";
    if (o.tls.certfile.empty() != o.tls.keyfile.empty()) return "--cert and --key go together";
    if (tls_files && !o.broker.tls)
        return "--cafile, --cert and --key are for TLS: give the broker as mqtts://";
    if (!o.password_file.empty() && !o.broker.tls && !is_loopback_host(o.broker.host) &&
        !o.cleartext_password_allowed)
        return "--password-file with mqtt:// would send the password in clear text to " +
               o.broker.text() +
               ": give the broker as mqtts://, or --allow-cleartext-password if that is meant";
    return "";
}

bool read_password_file(const std::string& path, std::string* password, std::string* warning,
                        std::string* error) {
    std::ifstream in(path);
    if (!in) {
        std::error_code why(errno, std::generic_category());
        *error = "cannot read --password-file " + path + ": " + why.message();
        return false;
    }
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) {
        *error = "--password-file " + path + " is empty: the password is its first line";
        return false;
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && (st.st_mode & S_IROTH) != 0)
        *warning = "--password-file " + path + " can be read by every user of this machine";
    *password = std::move(line);
    return true;
}

bool client_settings(const BrokerOptions& options, ClientSettings* settings, std::string* warning,
                     std::string* error) {
    settings->broker = options.broker;
    settings->user = options.user;
    settings->tls = options.tls;
    settings->protocol = options.protocol;
    return options.password_file.empty() ||
           read_password_file(options.password_file, &settings->password, warning, error);
}

}  // namespace mqtt
