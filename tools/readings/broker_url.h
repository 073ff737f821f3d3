// Where the broker is: mqtt://host[:port] or mqtts://host[:port].
//
// Principles: one text names the broker and says whether the link is
// encrypted, so that TLS cannot be forgotten by leaving out an option.
// Credentials never go in the URL (they would show in `ps` and the journal):
// a URL with user:password@ is refused with a pointer to --user and
// --password-file. Pure: no name lookup here.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "result.h"

namespace mqtt {

inline constexpr int default_mqtt_port = 1883;
inline constexpr int default_mqtts_port = 8883;

struct BrokerUrl {
    bool tls = false;
    std::string host;  // a name, an IPv4 address, or an IPv6 address without brackets
    int port = 0;

    // "mqtts://host:port", brackets around an IPv6 address: for reports.
    std::string text() const;
};

tools::Result<BrokerUrl> parse_broker_url(std::string_view text);

}  // namespace mqtt
