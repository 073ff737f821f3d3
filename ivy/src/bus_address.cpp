#include "bus_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <optional>

#include "ivy_limits.h"
#include "text.h"

namespace ivy {
namespace {

constexpr std::string_view default_address_list = "127.255.255.255";

// The user's text as it goes into a problem line, in single quotes.
std::string quoted(std::string_view text) {
    return "'" + quote(text) + "'";
}

// atoi's reading (leading white space, one sign, digits; anything else ends
// it) but reduced modulo 65536 as it goes, so no length overflows. Sets
// wrapped when the written value is not itself a port number.
std::uint16_t read_port_number(std::string_view text, bool& wrapped) {
    std::size_t i = 0;
    while (i < text.size() && is_space(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    std::uint32_t value = 0;
    bool big = false;
    for (; i < text.size() && is_digit(text[i]); ++i) {
        value = value * 10 + static_cast<std::uint32_t>(text[i] - '0');
        if (value > 0xffff) big = true;
        value &= 0xffff;
    }
    wrapped = big || (negative && value != 0);
    if (negative) value = (0x10000 - value) & 0xffff;
    return static_cast<std::uint16_t>(value);
}

void parse_port(std::string_view text, BusAddress& bus) {
    bool wrapped = false;
    const std::uint16_t port = read_port_number(text, wrapped);
    // 0 would bind an arbitrary port and announce to port 0: nobody could
    // ever meet us there, so a number that wraps to 0 falls back like 0 does.
    bus.port = port == 0 ? default_bus_port : port;
    if (wrapped) {
        bus.problems.push_back("port " + quoted(text) + " is out of range, using " +
                               std::to_string(bus.port));
    }
}

struct ParsedAddress {
    std::uint32_t address = 0;
    bool wrapped = false;  // a number above 255 was reduced
};

// One item of the list: up to four dotted numbers, spaces ignored, missing
// trailing bytes 255. An empty number counts as 0, which is how an empty
// item becomes 0.255.255.255.
std::optional<ParsedAddress> parse_one_address(std::string_view item) {
    std::uint32_t bytes[4] = {0, 0, 0, 0};
    std::size_t count = 1;
    ParsedAddress parsed;
    for (const char c : item) {
        if (c == ' ') continue;
        if (c == '.') {
            if (++count > 4) return std::nullopt;
        } else if (is_digit(c)) {
            std::uint32_t& b = bytes[count - 1];
            b = b * 10 + static_cast<std::uint32_t>(c - '0');
            if (b > 0xff) parsed.wrapped = true;
            b &= 0xff;
        } else {
            return std::nullopt;
        }
    }
    for (std::size_t i = 0; i < 4; ++i) {
        parsed.address = (parsed.address << 8) | (i < count ? bytes[i] : 0xffu);
    }
    return parsed;
}

void parse_address_list(std::string_view list, BusAddress& bus) {
    for (;;) {
        const std::size_t comma = list.find(',');
        const std::string_view item = list.substr(0, comma);
        if (const auto parsed = parse_one_address(item)) {
            bus.addresses.push_back(parsed->address);
            if (parsed->wrapped) {
                bus.problems.push_back("address " + quoted(item) +
                                       " has a number above 255, using " +
                                       format_ipv4(parsed->address));
            }
        } else {
            bus.problems.push_back("bad broadcast address " + quoted(item));
        }
        if (comma == std::string_view::npos) return;
        list.remove_prefix(comma + 1);
    }
}

bool is_ipv6(std::string_view text) {
    const std::string copy(text);
    in6_addr ignored{};
    return !copy.empty() && inet_pton(AF_INET6, copy.c_str(), &ignored) == 1;
}

}  // namespace

BusAddress parse_bus_address(std::string_view text) {
    if (text.empty()) text = default_bus;
    BusAddress bus;
    const std::size_t last_colon = text.rfind(':');
    if (last_colon != std::string_view::npos) {
        parse_port(text.substr(last_colon + 1), bus);
        if (is_ipv6(text.substr(0, last_colon))) {
            bus.problems.push_back("IPv6 bus address " + quoted(text.substr(0, last_colon)) +
                                   " is not supported");
            return bus;
        }
    }
    std::string_view list = text.substr(0, text.find(':'));
    if (last_colon == 0) list = default_address_list;
    parse_address_list(list, bus);
    return bus;
}

bool is_multicast(std::uint32_t address) {
    return (address & 0xf0000000u) == 0xe0000000u;
}

std::string format_ipv4(std::uint32_t address) {
    return std::to_string(address >> 24) + '.' + std::to_string((address >> 16) & 0xff) + '.' +
           std::to_string((address >> 8) & 0xff) + '.' + std::to_string(address & 0xff);
}

}  // namespace ivy
