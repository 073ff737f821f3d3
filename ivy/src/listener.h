// The TCP port other agents connect to: 0.0.0.0, a port the kernel picks.
//
// Principles: accepting never stops for good. A failed accept (out of
// descriptors, most likely) is reported and retried a little later instead
// of spinning on an error that persists, or giving up on the bus.
#pragma once

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <cstdint>
#include <functional>
#include <memory>

namespace ivy {

class Listener : public std::enable_shared_from_this<Listener> {
public:
    using OnAccept = std::function<void(asio::ip::tcp::socket)>;

    explicit Listener(OnAccept on_accept);

    // Binds and listens; returns the port, or 0 (reported) on failure.
    std::uint16_t open();
    void close();

private:
    void accept_more();
    void on_accept(const asio::error_code& ec, asio::ip::tcp::socket socket);

    OnAccept on_accept_;
    asio::ip::tcp::acceptor acceptor_;
    asio::steady_timer retry_;
};

}  // namespace ivy
