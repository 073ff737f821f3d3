// A small HTTP/1.1 client for the tests and benchmarks of anemobus-web: one
// request on a connection of its own, the answer whole (a gzip body
// inflated), or nothing when none came within the timeout.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace web_test {

struct HttpAnswer {
    int status = 0;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
    std::string header(const std::string& lower_name) const;
};

using Headers = std::vector<std::pair<std::string, std::string>>;

std::optional<HttpAnswer> http_request(
    int port, const std::string& method, const std::string& target, const Headers& headers = {},
    std::chrono::milliseconds timeout = std::chrono::seconds(10));

inline std::optional<HttpAnswer> http_get(int port, const std::string& target,
                                          const Headers& headers = {}) {
    return http_request(port, "GET", target, headers);
}

// A blocking socket connected to the server on loopback from a loopback
// address of the caller's (127.0.0.2 and on are other machines to the
// server), with a small receive buffer if asked; -1 when it cannot be made.
// The local port is picked at connect (IP_BIND_ADDRESS_NO_PORT), so that
// thousands of reconnections from one address do not run out of ports.
int connect_from(int port, const char* source, int receive_buffer = 0);

}  // namespace web_test
