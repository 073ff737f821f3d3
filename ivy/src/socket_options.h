// Socket options Asio has no name for.
#pragma once

#include <sys/socket.h>

#include <asio/error.hpp>
#include <cerrno>

namespace ivy {

// SO_REUSEPORT, as classic agents set it on both their sockets: several
// agents of one host share the bus port. Leaves ec as it is on success.
template <typename Socket>
void set_reuse_port(Socket& socket, asio::error_code& ec) {
    const int one = 1;
    if (::setsockopt(socket.native_handle(), SOL_SOCKET, SO_REUSEPORT, &one, sizeof one) != 0) {
        ec = asio::error_code(errno, asio::error::get_system_category());
    }
}

}  // namespace ivy
