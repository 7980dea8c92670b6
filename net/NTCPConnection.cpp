#include "net/NTCPConnection.hpp"

#include "net/NTCPServerThread.hpp"

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/write.hpp>

NTCPConnection::NTCPConnection(NTCPServerThread& server, boost::asio::io_context& io,
                               ITCPRecvHandler* handler)
    : socket_(io), server_(&server), handler_(handler) {}

void NTCPConnection::Start() {
    Receive();
}

// Exactly one read or write is outstanding at a time, so the completions below are the only
// places where the object can be destroyed and `this` in them is always still alive.
// Reads and writes are started straight from the completion that precedes them (always on the
// server thread); a post in between would cost one more turn of the event loop per message.
void NTCPConnection::Receive() {
    socket_.async_read_some(
        boost::asio::buffer(buffer_),
        [this](const boost::system::error_code& ec, std::size_t size) { OnRead(ec, size); });
}

void NTCPConnection::OnRead(const boost::system::error_code& ec, std::size_t size) {
    if (ec) {
        End();
        return;
    }
    bool replyReady = false;
    bool closeAfterReply = false;
    if (!handler_->OnReceive(Id(), buffer_.data(), static_cast<unsigned>(size), replyReady, reply_,
                             closeAfterReply)) {
        End();
        return;
    }
    if (replyReady) {
        Send(closeAfterReply);
    } else {
        Receive();
    }
}

// reply_ stays untouched until the write completes: the next OnReceive comes only after it.
void NTCPConnection::Send(bool closeAfterReply) {
    boost::asio::async_write(
        socket_, boost::asio::buffer(reply_),
        [this, closeAfterReply](const boost::system::error_code& ec, std::size_t) {
            OnWritten(ec, closeAfterReply);
        });
}

void NTCPConnection::OnWritten(const boost::system::error_code& ec, bool closeAfterReply) {
    if (ec == boost::asio::error::operation_aborted) return;
    if (ec) {
        End();
        return;
    }
    if (closeAfterReply) {
        // The read that follows ends with an error and so ends the connection.
        boost::system::error_code ignored;
        socket_.shutdown(boost::asio::ip::tcp::socket::shutdown_both, ignored);
    }
    Receive();
}

void NTCPConnection::End() {
    handler_->OnDisconnect(Id());
    server_->Release(this);
}
