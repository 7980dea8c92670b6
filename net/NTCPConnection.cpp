#include "net/NTCPConnection.hpp"

#include "net/NTCPServerThread.hpp"

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/write.hpp>

#include <utility>

NTCPConnection::NTCPConnection(NTCPServerThread& server, boost::asio::io_context& io,
                               ITCPRecvHandler* handler)
    : socket_(io), server_(&server), handler_(handler) {}

void NTCPConnection::Start() {
    Receive();
}

// Every completion holds the connection through its own shared pointer, so an End() from one
// of them leaves the object alive until the other has completed (aborted) too.
void NTCPConnection::Receive() {
    socket_.async_read_some(
        boost::asio::buffer(buffer_),
        [self = shared_from_this()](const boost::system::error_code& ec, std::size_t size) {
            self->OnRead(ec, size);
        });
}

void NTCPConnection::OnRead(const boost::system::error_code& ec, std::size_t size) {
    if (ended_) return;
    if (ec) {
        End();
        return;
    }
    inRead_ = true;
    const bool keep = handler_->OnReceive(Id(), buffer_.data(), static_cast<unsigned>(size));
    inRead_ = false;
    // A connection the handler ends takes the replies it handed over meanwhile with it; so does
    // one whose replies pile up behind a write the client does not take.
    const bool pilingUp = !writing_.empty() && unwritten_.size() > kMaxUnwritten;
    if (!keep || pilingUp) {
        End();
        return;
    }
    if (ended_) return;
    if (writing_.empty() && !unwritten_.empty()) Flush();
    Receive();
}

void NTCPConnection::Write(std::string bytes) {
    if (ended_ || bytes.empty()) return;
    if (inRead_) {
        // Handed over by the handler within the read: written once it has kept the connection.
        unwritten_ += bytes;
        return;
    }
    if (writing_.empty()) {
        unwritten_ = std::move(bytes);
        Flush();
        return;
    }
    if (unwritten_.size() + bytes.size() > kMaxUnwritten) {
        End();
        return;
    }
    unwritten_ += bytes;
}

void NTCPConnection::Flush() {
    writing_.swap(unwritten_);
    boost::asio::async_write(socket_, boost::asio::buffer(writing_),
                             [self = shared_from_this()](const boost::system::error_code& ec,
                                                         std::size_t) { self->OnWritten(ec); });
}

void NTCPConnection::OnWritten(const boost::system::error_code& ec) {
    if (ended_ || ec == boost::asio::error::operation_aborted) return;
    if (ec) {
        End();
        return;
    }
    writing_.clear();
    if (!unwritten_.empty()) Flush();
}

void NTCPConnection::End() {
    if (ended_) return;
    ended_ = true;
    handler_->OnDisconnect(Id());
    boost::system::error_code ignored;
    socket_.close(ignored);
    server_->Release(Id());
}
