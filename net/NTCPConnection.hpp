#pragma once

#include "net/ITCPRecvHandler.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

#include <array>
#include <atomic>
#include <cstddef>
#include <memory>
#include <string>

class NTCPServerThread;

// One accepted TCP connection of NTCPServerThread. It keeps a read outstanding for as long as it
// is open, so that the client's end is seen the moment it comes, hands every read to the
// handler, and writes the replies handed to it in the order they came, while it reads on. It is
// owned by the server's table and by its outstanding operations (a read and a write may be
// outstanding at once), and lives on the server thread.
class NTCPConnection : public std::enable_shared_from_this<NTCPConnection> {
public:
    static constexpr std::size_t kReceiveBufferSize = 10000;
    // Replies waiting behind the one being written: beyond this the client is not reading what
    // it asked for, and the connection is ended. A reply is a few bytes; the socket's own buffer
    // takes the first megabytes before anything waits here.
    static constexpr std::size_t kMaxUnwritten = 64 * 1024;

    NTCPConnection(NTCPServerThread& server, boost::asio::io_context& io, ITCPRecvHandler* handler);

    NTCPConnection(const NTCPConnection&) = delete;
    NTCPConnection& operator=(const NTCPConnection&) = delete;

    // The socket an accept fills.
    boost::asio::ip::tcp::socket& Socket() { return socket_; }
    // The handler's name for this connection: its address.
    ClientId Id() const { return reinterpret_cast<ClientId>(this); }
    // Serves an admitted connection until it ends.
    void Start();
    // Queues bytes to be written after those queued before; nothing once the connection has
    // ended. Within the handler's read they wait for its verdict: written if it keeps the
    // connection, dropped with it otherwise. Server thread only.
    void Write(std::string bytes);
    // Ends the connection once: OnDisconnect, the socket closed (what is outstanding completes
    // as aborted), the server's table let go. Server thread only.
    void End();
    // Any thread: a reply handed over through the server's event loop, not yet written; a reply
    // handed over on the server thread meanwhile must queue behind it.
    void ReplyOnItsWay() { repliesOnTheirWay_.fetch_add(1); }
    void ReplyArrived() { repliesOnTheirWay_.fetch_sub(1); }
    bool RepliesOnTheirWay() const { return repliesOnTheirWay_.load() != 0; }

private:
    void Receive();
    void OnRead(const boost::system::error_code& ec, std::size_t size);
    // Writes everything queued in one go.
    void Flush();
    void OnWritten(const boost::system::error_code& ec);

    boost::asio::ip::tcp::socket socket_;
    NTCPServerThread* server_;
    ITCPRecvHandler* handler_;
    std::array<char, kReceiveBufferSize> buffer_;
    // The bytes of the write outstanding (untouched until it completes), and those queued
    // behind it.
    std::string writing_;
    std::string unwritten_;
    bool ended_ = false;
    bool inRead_ = false;  // the handler is handling a read
    std::atomic<unsigned> repliesOnTheirWay_{0};
};
