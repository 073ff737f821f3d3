// Parsing the bus text ("127.255.255.255:2010", "10.0.0,224.1.2.3:2345").
// Pure: no sockets, no environment, no output.
//
// The rules are those every Ivy agent applies, quirks kept because users type
// these forms: the port is what follows the last ':' (atoi, truncated to 16
// bits; missing or 0 gives 2010); addresses are the text before the first ':'
// separated by ','; each is one to four dotted decimal numbers, missing
// trailing bytes are 255, each number is taken modulo 256, spaces are
// ignored; any other character makes that one address invalid; an empty item
// is 0.255.255.255. A text starting with ':' uses the default address list.
//
// Where classic agents overflow (a digit run longer than an int holds), we
// keep the documented arithmetic instead: a number is reduced modulo 256 (an
// address byte) or 65536 (the port) whatever its length. IPv6 buses are not
// supported: a text whose address part is an IPv6 address gives no address
// and one problem line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ivy {

inline constexpr std::uint16_t default_bus_port = 2010;
inline constexpr std::string_view default_bus = "127.255.255.255:2010";

struct BusAddress {
    std::vector<std::uint32_t> addresses;  // IPv4, host byte order, in text order
    std::uint16_t port = default_bus_port;
    // One readable line per address skipped ("bad broadcast address 'x'"),
    // plus one per number that did not fit and was wrapped (the value used is
    // named). Empty when the text was taken as written.
    std::vector<std::string> problems;
};

// Never fails: the worst text gives no address and the problems saying why.
// An empty text is read as default_bus (the caller picks IVYBUS before that).
BusAddress parse_bus_address(std::string_view text);

// 224.0.0.0/4
bool is_multicast(std::uint32_t address);

// "a.b.c.d"
std::string format_ipv4(std::uint32_t address);

}  // namespace ivy
