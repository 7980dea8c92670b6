#pragma once

#include "net/ITCPRecvHandler.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

#include <array>
#include <cstddef>
#include <string>

class NTCPServerThread;

// One accepted TCP connection of NTCPServerThread: reads into its own buffer, hands the bytes to
// the handler and writes the handler's reply before it reads again. Lives on the server thread.
class NTCPConnection {
public:
    static constexpr std::size_t kReceiveBufferSize = 10000;

    NTCPConnection(NTCPServerThread& server, boost::asio::io_context& io, ITCPRecvHandler* handler);

    NTCPConnection(const NTCPConnection&) = delete;
    NTCPConnection& operator=(const NTCPConnection&) = delete;

    // The socket an accept fills.
    boost::asio::ip::tcp::socket& Socket() { return socket_; }
    // The handler's name for this connection: its address.
    ClientId Id() const { return reinterpret_cast<ClientId>(this); }
    // Serves an admitted connection until it ends; the server then destroys it.
    void Start();

private:
    void Receive();
    void OnRead(const boost::system::error_code& ec, std::size_t size);
    void Send(bool closeAfterReply);
    void OnWritten(const boost::system::error_code& ec, bool closeAfterReply);
    // OnDisconnect, then the server destroys this object: nothing may touch it afterwards.
    void End();

    boost::asio::ip::tcp::socket socket_;
    NTCPServerThread* server_;
    std::array<char, kReceiveBufferSize> buffer_;
    ITCPRecvHandler* handler_;
    // Written by the handler, sent from here; never cleared by the server.
    std::string reply_;
};
