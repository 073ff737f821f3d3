#include "listener.h"

#include <chrono>

#include "diagnostics.h"
#include "event_loop.h"
#include "socket_options.h"

namespace ivy {
namespace {

// Long enough not to spin on a lasting error, short enough that a peer
// refused during a descriptor shortage is served soon after.
constexpr std::chrono::milliseconds accept_retry{100};
constexpr int backlog = 128;

}  // namespace

Listener::Listener(OnAccept on_accept)
    : on_accept_(std::move(on_accept)), acceptor_(loop_context()), retry_(loop_context()) {}

std::uint16_t Listener::open() {
    using asio::ip::tcp;
    asio::error_code ec;
    acceptor_.open(tcp::v4(), ec);
    if (!ec) acceptor_.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec) set_reuse_port(acceptor_, ec);
    if (!ec) acceptor_.bind(tcp::endpoint(tcp::v4(), 0), ec);
    if (!ec) acceptor_.listen(backlog, ec);
    std::uint16_t port = 0;
    if (!ec) port = acceptor_.local_endpoint(ec).port();
    if (ec) {
        report("TCP listener: %s (other agents cannot connect to us)", ec.message().c_str());
        close();
        return 0;
    }
    accept_more();
    return port;
}

void Listener::close() {
    asio::error_code ignored;
    retry_.cancel();
    acceptor_.close(ignored);
}

void Listener::accept_more() {
    acceptor_.async_accept(
        [self = shared_from_this()](const asio::error_code& ec, asio::ip::tcp::socket socket) {
            self->on_accept(ec, std::move(socket));
        });
}

void Listener::on_accept(const asio::error_code& ec, asio::ip::tcp::socket socket) {
    if (!acceptor_.is_open() || ec == asio::error::operation_aborted) return;
    if (!ec) {
        on_accept_(std::move(socket));
        if (acceptor_.is_open()) accept_more();
        return;
    }
    report("accepting a connection: %s", ec.message().c_str());
    retry_.expires_after(accept_retry);
    retry_.async_wait([self = shared_from_this()](const asio::error_code& e) {
        if (!e && self->acceptor_.is_open()) self->accept_more();
    });
}

}  // namespace ivy
