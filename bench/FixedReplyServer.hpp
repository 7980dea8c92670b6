#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <cstdint>
#include <string>
#include <thread>

// The floor of a loopback round trip with the client protocol's framing: a minimal Asio server
// on its own thread that answers every read whose bytes end a message with a carriage return
// with one fixed reply, and does nothing else (no console, no station, no dispatch).
class FixedReplyServer {
public:
    // Listens on 127.0.0.1 on any free port and starts serving; reply is sent with "\r" added.
    explicit FixedReplyServer(std::string reply);
    // Stops the event loop and joins the thread.
    ~FixedReplyServer();
    FixedReplyServer(const FixedReplyServer&) = delete;
    FixedReplyServer& operator=(const FixedReplyServer&) = delete;

    std::uint16_t Port() const { return port_; }

private:
    class Connection;
    void Accept();

    boost::asio::io_context io_;
    boost::asio::ip::tcp::acceptor acceptor_;
    std::string reply_;
    std::uint16_t port_ = 0;
    std::thread thread_;
};
