#include "broker_options.h"

#include <arpa/inet.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <string_view>
#include <system_error>

#include "getopt_complaint.h"

namespace mqtt {
namespace {

tools::Status path_option(const char* name, const char* value, std::string* out) {
    if (*value == '\0') return tools::fail(std::string(name) + " needs a file name");
    *out = value;
    return {};
}

tools::Status protocol_option(const char* value, Protocol* protocol) {
    if (std::string_view(value) == "5")
        *protocol = Protocol::v5;
    else if (std::string_view(value) == "3.1.1")
        *protocol = Protocol::v311;
    else
        return tools::fail("--mqtt-version '" + std::string(value) + "': 3.1.1 or 5");
    return {};
}

tools::Failure unreadable(const std::string& path, int error_number) {
    const std::error_code why(error_number, std::generic_category());
    return tools::fail("cannot read --password-file " + path + ": " + why.message());
}

}  // namespace

std::vector<option> with_broker_options(std::initializer_list<option> own) {
    std::vector<option> table(own);
    table.insert(table.end(), std::begin(broker_long_options), std::end(broker_long_options));
    table.push_back({nullptr, 0, nullptr, 0});
    return table;
}

tools::Status read_command_line(int argc, char* const argv[],
                                const std::vector<option>& long_options, const ApplyOption& apply,
                                bool* help, bool* quiet) {
    // getopt keeps its position in globals; the tests parse many times.
    optind = 0;
    opterr = 0;
    const char* const short_options = ":b:n:i:qh";
    int c;
    while ((c = getopt_long(argc, argv, short_options, long_options.data(), nullptr)) != -1) {
        if (c == 'h') {
            *help = true;
            return {};
        }
        if (c == 'q') {
            *quiet = true;
            continue;
        }
        if (c == ':' || c == '?')
            return tools::fail(tools::getopt_complaint(c, short_options, argv));
        const char* value = c == opt_password || optarg == nullptr ? "" : optarg;
        if (tools::Status applied = apply(c, value); !applied) return applied;
    }
    if (optind < argc)
        return tools::fail(std::string("unexpected argument '") + argv[optind] + "'");
    return {};
}

bool is_broker_option(int option) {
    return std::any_of(std::begin(broker_long_options), std::end(broker_long_options),
                       [option](const struct option& o) { return o.val == option; });
}

tools::Status apply_broker_option(int option, const char* value, BrokerOptions& o) {
    switch (option) {
        case opt_broker: {
            auto url = parse_broker_url(value);
            if (!url) return tools::fail("--broker '" + std::string(value) + "': " + url.error());
            o.broker = *url;
            return {};
        }
        case opt_user:
            if (*value == '\0') return tools::fail("--user needs a user name");
            o.user = value;
            return {};
        case opt_password_file:
            return path_option("--password-file", value, &o.password_file);
        case opt_password:
            return tools::fail(
                "a password is never taken on the command line: put it in a file readable "
                "only by you and give --password-file FILE");
        case opt_cafile:
            return path_option("--cafile", value, &o.tls.cafile);
        case opt_cert:
            return path_option("--cert", value, &o.tls.certfile);
        case opt_key:
            return path_option("--key", value, &o.tls.keyfile);
        case opt_mqtt_version:
            return protocol_option(value, &o.protocol);
        case opt_allow_cleartext_password:
            o.cleartext_password_allowed = true;
            return {};
        default:
            return tools::fail("unknown option");
    }
}

bool is_loopback_host(const std::string& host) {
    in_addr v4{};
    if (::inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    return host == "localhost" || host == "::1";
}

tools::Status check_broker_options(const BrokerOptions& o) {
    const bool tls_files = !o.tls.cafile.empty() || !o.tls.certfile.empty();
    if (o.broker.host.empty() && (tls_files || !o.user.empty() || !o.password_file.empty()))
        return tools::fail(
            "--user, --password-file, --cafile, --cert and --key go with --broker URL");
    if (!o.password_file.empty() && o.user.empty())
        return tools::fail("--password-file needs --user");
    if (o.tls.certfile.empty() != o.tls.keyfile.empty())
        return tools::fail("--cert and --key go together");
    if (tls_files && !o.broker.tls)
        return tools::fail("--cafile, --cert and --key are for TLS: give the broker as mqtts://");
    if (!o.password_file.empty() && !o.broker.tls && !is_loopback_host(o.broker.host) &&
        !o.cleartext_password_allowed)
        return tools::fail(
            "--password-file with mqtt:// would send the password in clear text to " +
            o.broker.text() +
            ": give the broker as mqtts://, or --allow-cleartext-password if that is meant");
    return {};
}

tools::Result<Password> read_password_file(const std::string& path) {
    std::ifstream in(path);
    if (!in) return unreadable(path, errno);
    std::string line;
    errno = 0;
    // A directory opens, but its read fails: that is no empty file.
    if (!std::getline(in, line) && in.bad()) return unreadable(path, errno);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty())
        return tools::fail("--password-file " + path + " is empty: the password is its first line");
    Password password{std::move(line), {}};
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && (st.st_mode & S_IROTH) != 0)
        password.warning = "--password-file " + path + " can be read by every user of this machine";
    return password;
}

tools::Result<ClientSetup> client_settings(const BrokerOptions& options) {
    ClientSetup setup;
    setup.settings.broker = options.broker;
    setup.settings.user = options.user;
    setup.settings.tls = options.tls;
    setup.settings.protocol = options.protocol;
    if (options.password_file.empty()) return setup;
    auto password = read_password_file(options.password_file);
    if (!password) return password.failure();
    setup.settings.password = std::move(password->text);
    setup.warning = std::move(password->warning);
    return setup;
}

}  // namespace mqtt
