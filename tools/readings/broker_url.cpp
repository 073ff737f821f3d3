#include "broker_url.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "option_numbers.h"

namespace mqtt {
namespace {

bool starts_with_nocase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](char lower, char c) {
               return std::tolower(static_cast<unsigned char>(c)) == lower;
           });
}

bool parse_port(std::string_view text, int* port) {
    const auto value = tools::whole_number(text, 1, 65535);
    if (value) *port = static_cast<int>(*value);
    return value.has_value();
}

// A host name or address: letters, digits, '-', '.', '_' (or an IPv6 address
// inside brackets, checked by the caller).
bool plain_host(std::string_view host) {
    return !host.empty() && std::all_of(host.begin(), host.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '.' || c == '_';
    });
}

// Splits "host[:port]" or "[v6][:port]".
tools::Status split_authority(std::string_view authority, BrokerUrl& url) {
    std::string_view host = authority, port;
    if (authority.front() == '[') {
        const auto close = authority.find(']');
        if (close == std::string_view::npos || close < 2)
            return tools::fail("an IPv6 address needs its closing bracket");
        host = authority.substr(1, close - 1);
        const auto rest = authority.substr(close + 1);
        if (!rest.empty() && rest.front() != ':')
            return tools::fail("unexpected text after the IPv6 address");
        if (!rest.empty()) port = rest.substr(1);
        if (host.find_first_not_of("0123456789abcdefABCDEF:.") != std::string_view::npos)
            return tools::fail("the IPv6 address has characters an address cannot have");
    } else {
        const auto colon = authority.find(':');
        if (colon != std::string_view::npos) {
            host = authority.substr(0, colon);
            port = authority.substr(colon + 1);
        }
        if (!plain_host(host))
            return tools::fail(
                "the host must be a name or an address (an IPv6 address in brackets)");
    }
    if ((!port.empty() || authority.back() == ':') && !parse_port(port, &url.port))
        return tools::fail("the port must be a number from 1 to 65535");
    url.host = host;
    return {};
}

}  // namespace

std::string BrokerUrl::text() const {
    const bool v6 = host.find(':') != std::string::npos;
    return std::string(tls ? "mqtts://" : "mqtt://") + (v6 ? "[" : "") + host + (v6 ? "]" : "") +
           ":" + std::to_string(port);
}

tools::Result<BrokerUrl> parse_broker_url(std::string_view text) {
    BrokerUrl url;
    if (starts_with_nocase(text, "mqtts://")) {
        url.tls = true;
        text.remove_prefix(8);
    } else if (starts_with_nocase(text, "mqtt://")) {
        text.remove_prefix(7);
    } else {
        return tools::fail("the broker must be mqtt://host[:port] or mqtts://host[:port]");
    }
    url.port = url.tls ? default_mqtts_port : default_mqtt_port;
    if (!text.empty() && text.back() == '/') text.remove_suffix(1);
    if (text.find('@') != std::string_view::npos)
        return tools::fail("no user or password in the URL: give --user and --password-file");
    if (text.find_first_of("/?#") != std::string_view::npos)
        return tools::fail("the broker URL has no path or query: mqtt://host[:port]");
    if (text.empty()) return tools::fail("the broker URL names no host");
    if (const tools::Status split = split_authority(text, url); !split) return split.failure();
    return url;
}

}  // namespace mqtt
