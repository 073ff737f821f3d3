#include "discovery.h"

#include <algorithm>
#include <asio/ip/multicast.hpp>

#include "diagnostics.h"
#include "event_loop.h"
#include "socket_options.h"

namespace ivy {
namespace {

// Classic agents use this TTL, so a multicast bus reaches as far with us.
constexpr int multicast_ttl = 64;

asio::ip::address_v4 v4(std::uint32_t address) {
    return asio::ip::address_v4(address);
}

}  // namespace

AnnouncePlan plan_announcements(const BusAddress& bus) {
    AnnouncePlan plan;
    for (const std::uint32_t address : bus.addresses) {
        if (is_multicast(address) &&
            std::find(plan.groups.begin(), plan.groups.end(), address) == plan.groups.end()) {
            plan.groups.push_back(address);
        }
        plan.destinations.push_back(address);
    }
    return plan;
}

Discovery::Discovery(OnAnnouncement on_announcement)
    : on_announcement_(std::move(on_announcement)), socket_(loop_context()) {}

bool Discovery::open(std::uint16_t bus_port) {
    using asio::ip::udp;
    asio::error_code ec;
    socket_.open(udp::v4(), ec);
    if (!ec) socket_.set_option(udp::socket::reuse_address(true), ec);
    if (!ec) set_reuse_port(socket_, ec);
    if (!ec) socket_.set_option(udp::socket::broadcast(true), ec);
    if (!ec) socket_.non_blocking(true, ec);
    if (!ec) socket_.bind(udp::endpoint(udp::v4(), bus_port), ec);
    if (ec) {
        report("UDP bus port %u: %s (no discovery: agents that start later will not be seen)",
               static_cast<unsigned>(bus_port), ec.message().c_str());
        close();
        return false;
    }
    receive_more();
    return true;
}

std::size_t Discovery::announce(const AnnouncePlan& plan, std::uint16_t bus_port,
                                std::string_view datagram) {
    if (!socket_.is_open()) return 0;
    std::size_t sent = 0;
    for (const std::uint32_t group : plan.groups) {
        asio::error_code ec;
        socket_.set_option(asio::ip::multicast::join_group(v4(group)), ec);
        if (!ec) socket_.set_option(asio::ip::multicast::hops(multicast_ttl), ec);
        if (ec) {
            report("joining multicast group %s: %s", format_ipv4(group).c_str(),
                   ec.message().c_str());
        }
    }
    for (const std::uint32_t address : plan.destinations) {
        asio::error_code ec;
        socket_.send_to(asio::buffer(datagram.data(), datagram.size()),
                        asio::ip::udp::endpoint(v4(address), bus_port), 0, ec);
        if (ec) {
            report("announcing on %s:%u: %s", format_ipv4(address).c_str(),
                   static_cast<unsigned>(bus_port), ec.message().c_str());
        } else {
            ++sent;
        }
    }
    return sent;
}

void Discovery::close() {
    asio::error_code ignored;
    socket_.close(ignored);
}

void Discovery::receive_more() {
    socket_.async_receive_from(
        asio::buffer(buffer_), from_,
        [self = shared_from_this()](const asio::error_code& ec, std::size_t n) {
            self->on_receive(ec, n);
        });
}

void Discovery::on_receive(const asio::error_code& ec, std::size_t n) {
    if (!socket_.is_open() || ec == asio::error::operation_aborted) return;
    if (!ec && from_.address().is_v4()) {
        for_each_datagram_line(std::string_view(buffer_.data(), n),
                               [this](std::string_view line) { handle_line(line); });
    }
    // Other errors (an ICMP error queued on the socket) concern one datagram.
    if (socket_.is_open()) receive_more();
}

void Discovery::handle_line(std::string_view line) {
    const std::string source = from_.address().to_string();
    const auto announcement = parse_announcement(line);
    if (!announcement) {
        report("bad announcement from %s: '%s'", source.c_str(), quote(line).c_str());
        return;
    }
    if (announcement->version != protocol_version) {
        report("announcement of protocol version %d (we speak %d) from %s ignored",
               announcement->version, protocol_version, source.c_str());
        return;
    }
    on_announcement_(from_.address().to_v4().to_uint(), *announcement);
}

}  // namespace ivy
