// Whether an IPv4 address is one of this host's own: loopback, the
// wildcard, or an address of one of its interfaces. Used to recognise an
// announcement of ourselves, and a connection from one of our own sockets.
//
// Principles: the interfaces are listed with the SIOCGIFCONF ioctl on an
// AF_INET socket, not with getifaddrs(), which needs a netlink socket: our
// hardened units allow only AF_INET, AF_INET6 and AF_UNIX, and under them
// getifaddrs() fails. The list is kept for a second, so that a flood of
// announcements costs no system call each; an address added meanwhile is
// recognised that much later. A list that cannot be had is reported once,
// and only loopback and the wildcard are then recognised.
#pragma once

#include <cstdint>

namespace ivy {

// ip in host byte order.
bool is_own_address(std::uint32_t ip);

}  // namespace ivy
