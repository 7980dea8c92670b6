#include "bench/FixedReplyServer.hpp"

#include <boost/asio/buffer.hpp>
#include <boost/asio/write.hpp>

#include <array>
#include <memory>

namespace asio = boost::asio;
using asio::ip::tcp;

// Reads into one fixed buffer, collects the text of a message and, when a read leaves it ending
// in a carriage return, writes the reply before reading again: the same framing and the same
// one-reply-then-read order as Railmux, and Railmux's socket options (none).
class FixedReplyServer::Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(tcp::socket socket, const std::string& reply)
        : socket_(std::move(socket)), reply_(reply) {}

    void Read() {
        auto self = shared_from_this();
        socket_.async_read_some(asio::buffer(buffer_),
                                [this, self](const boost::system::error_code& ec, std::size_t n) {
                                    if (ec) return;
                                    text_.append(buffer_.data(), n);
                                    if (text_.back() != '\r') return Read();
                                    text_.clear();
                                    Write();
                                });
    }

private:
    void Write() {
        auto self = shared_from_this();
        asio::async_write(socket_, asio::buffer(reply_),
                          [this, self](const boost::system::error_code& ec, std::size_t) {
                              if (!ec) Read();
                          });
    }

    tcp::socket socket_;
    const std::string& reply_;
    std::array<char, 10000> buffer_;
    std::string text_;
};

FixedReplyServer::FixedReplyServer(std::string reply)
    : acceptor_(io_, tcp::endpoint(asio::ip::address_v4::loopback(), 0)),
      reply_(std::move(reply) + "\r") {
    port_ = acceptor_.local_endpoint().port();
    Accept();
    thread_ = std::thread([this] { io_.run(); });
}

FixedReplyServer::~FixedReplyServer() {
    io_.stop();
    thread_.join();
}

void FixedReplyServer::Accept() {
    acceptor_.async_accept([this](const boost::system::error_code& ec, tcp::socket socket) {
        if (ec) return;
        std::make_shared<Connection>(std::move(socket), reply_)->Read();
        Accept();
    });
}
