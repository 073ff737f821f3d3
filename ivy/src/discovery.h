// Finding the other agents of the bus: our announcement out, theirs in, over
// the UDP socket bound to the bus port.
//
// Principles: one datagram is read at a time and cut at line feeds; a line
// without its final line feed is still a line, and nothing is ever carried
// over to the next datagram (classic agents glue datagrams and then connect
// to a port nobody announced). Announcements that cannot be read or carry
// another protocol version are reported and ignored; the rest are handed to
// the agent, which decides whether to connect.
#pragma once

#include <array>
#include <asio/ip/udp.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "bus_address.h"
#include "ivy_limits.h"
#include "wire_codec.h"

namespace ivy {

// What announcing on a bus involves: the multicast groups to join first (in
// text order, each once) and the addresses to send the announcement to.
struct AnnouncePlan {
    std::vector<std::uint32_t> groups;
    std::vector<std::uint32_t> destinations;
};
AnnouncePlan plan_announcements(const BusAddress& bus);

// Calls on_line for each line of one datagram: cut at LF, a last piece
// without LF included, empty pieces skipped.
template <typename Fn>
void for_each_datagram_line(std::string_view datagram, Fn&& on_line) {
    while (!datagram.empty()) {
        const std::size_t lf = datagram.find('\n');
        const std::string_view line = datagram.substr(0, lf);
        if (!line.empty()) on_line(line);
        if (lf == std::string_view::npos) break;
        datagram.remove_prefix(lf + 1);
    }
}

class Discovery : public std::enable_shared_from_this<Discovery> {
public:
    // source_ip (host order) is the sender's address as the datagram shows it.
    using OnAnnouncement = std::function<void(std::uint32_t source_ip, const Announcement&)>;

    explicit Discovery(OnAnnouncement on_announcement);

    // Binds 0.0.0.0:bus_port (shared with the other agents of this host) and
    // starts listening. False, reported, when the socket cannot be had.
    bool open(std::uint16_t bus_port);

    // Joins the plan's groups (multicast TTL 64) and sends the datagram to
    // each destination on the bus port. Failures are reported; the other
    // destinations are still tried. Returns how many destinations took it.
    std::size_t announce(const AnnouncePlan& plan, std::uint16_t bus_port,
                         std::string_view datagram);

    void close();

private:
    void receive_more();
    void on_receive(const asio::error_code& ec, std::size_t n);
    void handle_line(std::string_view line);

    OnAnnouncement on_announcement_;
    asio::ip::udp::socket socket_;
    asio::ip::udp::endpoint from_;
    std::array<char, max_datagram> buffer_{};
};

}  // namespace ivy
