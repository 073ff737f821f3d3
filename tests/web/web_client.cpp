#include "web_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <cctype>

namespace web_test {
namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;

std::optional<std::string> gunzip(const std::string& in) {
    z_stream z{};
    if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) return std::nullopt;
    std::string out;
    char buf[65536];
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
    int rc = Z_OK;
    while (rc == Z_OK) {
        z.next_out = reinterpret_cast<Bytef*>(buf);
        z.avail_out = sizeof buf;
        rc = inflate(&z, Z_NO_FLUSH);
        out.append(buf, sizeof buf - z.avail_out);
        if (rc == Z_BUF_ERROR && z.avail_in == 0) break;
    }
    inflateEnd(&z);
    if (rc != Z_STREAM_END) return std::nullopt;
    return out;
}

}  // namespace

std::string HttpAnswer::header(const std::string& lower_name) const {
    const auto it = headers.find(lower_name);
    return it == headers.end() ? "" : it->second;
}

std::optional<HttpAnswer> http_request(int port, const std::string& method,
                                       const std::string& target, const Headers& headers,
                                       std::chrono::milliseconds timeout) {
    net::io_context io;
    beast::tcp_stream stream(io);
    http::request<http::string_body> req(http::string_to_verb(method), target, 11);
    req.set(http::field::host, "127.0.0.1");
    for (const auto& [name, value] : headers) req.set(name, value);
    if (method == "POST") req.body() = "x";
    req.prepare_payload();
    beast::flat_buffer buffer;
    http::response_parser<http::string_body> parser;
    parser.body_limit(std::uint64_t{1} << 30);
    parser.skip(method == "HEAD");
    bool done = false;
    stream.expires_after(timeout);
    stream.async_connect(net::ip::tcp::endpoint(net::ip::make_address("127.0.0.1"),
                                                static_cast<unsigned short>(port)),
                         [&](beast::error_code ec) {
                             if (ec) return;
                             http::async_write(stream, req, [&](beast::error_code e, std::size_t) {
                                 if (e) return;
                                 http::async_read(
                                     stream, buffer, parser,
                                     [&](beast::error_code r, std::size_t) { done = !r; });
                             });
                         });
    io.run();
    if (!done) return std::nullopt;
    HttpAnswer answer;
    const auto& res = parser.get();
    answer.status = res.result_int();
    for (const auto& field : res) {
        std::string name(field.name_string());
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        answer.headers[name] = std::string(field.value());
    }
    answer.body = res.body();
    if (answer.header("content-encoding") == "gzip") {
        auto plain = gunzip(answer.body);
        if (!plain) return std::nullopt;
        answer.body = std::move(*plain);
    }
    return answer;
}

int connect_from(int port, const char* source, int receive_buffer) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
    if (receive_buffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    ::inet_pton(AF_INET, source, &from.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0 &&
        ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0)
        return fd;
    ::close(fd);
    return -1;
}

}  // namespace web_test
