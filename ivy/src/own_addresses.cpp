#include "own_addresses.h"

#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <vector>

#include "diagnostics.h"

namespace ivy {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::seconds list_lifetime{1};

// Closes the ioctl's socket on every way out.
struct Socket {
    int fd;
    ~Socket() {
        if (fd >= 0) ::close(fd);
    }
};

// The IPv4 address of every interface that has one; nullopt (errno set)
// when the kernel will not say.
std::optional<std::vector<std::uint32_t>> list_interface_addresses() {
    const Socket s{::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    if (s.fd < 0) return std::nullopt;
    std::vector<ifreq> requests(32);
    ifconf conf{};
    for (;;) {
        conf.ifc_len = static_cast<int>(requests.size() * sizeof(ifreq));
        conf.ifc_req = requests.data();
        if (::ioctl(s.fd, SIOCGIFCONF, &conf) != 0) return std::nullopt;
        // A full buffer may have been cut short: ask again with more room.
        if (static_cast<std::size_t>(conf.ifc_len) < requests.size() * sizeof(ifreq)) break;
        requests.resize(requests.size() * 2);
    }
    std::vector<std::uint32_t> addresses;
    const auto count = static_cast<std::size_t>(conf.ifc_len) / sizeof(ifreq);
    for (std::size_t i = 0; i < count; ++i) {
        if (requests[i].ifr_addr.sa_family != AF_INET) continue;
        sockaddr_in address{};
        std::memcpy(&address, &requests[i].ifr_addr, sizeof address);
        addresses.push_back(ntohl(address.sin_addr.s_addr));
    }
    return addresses;
}

struct Cache {
    std::vector<std::uint32_t> addresses;
    Clock::time_point taken{};
    bool valid = false;
    bool failure_reported = false;
};

const std::vector<std::uint32_t>& interface_addresses() {
    static Cache cache;
    const auto now = Clock::now();
    if (cache.valid && now - cache.taken < list_lifetime) return cache.addresses;
    auto listed = list_interface_addresses();
    cache.taken = now;
    cache.valid = true;
    if (listed) {
        cache.addresses = std::move(*listed);
    } else if (!cache.failure_reported) {
        cache.failure_reported = true;
        report("cannot list this host's addresses (%s): only loopback is recognised as ourselves",
               std::strerror(errno));
    }
    return cache.addresses;
}

}  // namespace

bool is_own_address(std::uint32_t ip) {
    if ((ip >> 24) == 127 || ip == 0) return true;
    const auto& own = interface_addresses();
    return std::find(own.begin(), own.end(), ip) != own.end();
}

}  // namespace ivy
