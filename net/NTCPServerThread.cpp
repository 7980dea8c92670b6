#include "net/NTCPServerThread.hpp"

#include "base/StopSignalsBlocked.hpp"
#include "net/NTCPConnection.hpp"
#include "net/PeerLiveness.hpp"

#include <boost/asio/detail/socket_option.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <exception>
#include <functional>
#include <string>
#include <utility>

namespace {

// Accept errors that a retry fixes at once (the peer gave up during the handshake); any other
// error waits this long first, so running out of descriptors or memory does not spin the loop.
constexpr std::chrono::milliseconds kAcceptPause{100};

// One server per port. Linux refuses a second bind of a listening port even with SO_REUSEADDR,
// which only lets a restarted server past its predecessor's connections in TIME_WAIT. Windows
// lets a second socket with SO_REUSEADDR bind the port and be handed the first one's
// connections; SO_EXCLUSIVEADDRUSE makes its bind fail instead.
void ClaimPort(boost::asio::ip::tcp::acceptor& acceptor, boost::system::error_code& ec) {
#ifdef _WIN32
    using ExclusiveAddressUse =
        boost::asio::detail::socket_option::boolean<SOL_SOCKET,
                                                    static_cast<int>(SO_EXCLUSIVEADDRUSE)>;
    acceptor.set_option(ExclusiveAddressUse(true), ec);
#else
    acceptor.set_option(boost::asio::ip::tcp::acceptor::reuse_address(true), ec);
#endif
}

bool RetryAcceptAtOnce(const boost::system::error_code& ec) {
    return ec == boost::asio::error::connection_aborted ||
           ec == boost::asio::error::connection_reset ||
           ec == boost::system::error_code(EPROTO, boost::system::system_category()) ||
           ec == boost::system::error_code(EPERM, boost::system::system_category());
}

}  // namespace

NTCPServerThread* NTCPServerThread::Start(std::int32_t port, ITCPRecvHandler* handler,
                                          std::uint32_t& error,
                                          const boost::asio::ip::address& address) {
    error = 1;
    NTCPServerThread* server = nullptr;
    try {
        server = new NTCPServerThread(port, handler, address);
        boost::system::error_code ec;
        server->Listen(ec);
        if (ec) {
            error = ec.value() != 0 ? static_cast<std::uint32_t>(ec.value()) : 1;
            delete server;
            return nullptr;
        }
        handler->OnServerStart(*server);
        server->handlerStarted_ = true;
        const StopSignalsBlocked forTheNewThread;
        server->thread_ = std::thread(std::ref(*server));
    } catch (const boost::system::system_error& e) {
        // The event loop could not be created.
        if (e.code().value() != 0) error = static_cast<std::uint32_t>(e.code().value());
        delete server;
        return nullptr;
    } catch (...) {
        // No memory, or the thread could not be started.
        delete server;
        return nullptr;
    }
    error = 0;
    return server;
}

void NTCPServerThread::Stop(NTCPServerThread* server) {
    delete server;
}

NTCPServerThread::NTCPServerThread(std::int32_t port, ITCPRecvHandler* handler,
                                   const boost::asio::ip::address& address)
    : port_(port),
      address_(address),
      handler_(handler),
      acceptor_(io_),
      acceptPause_(io_),
      admissionTimer_(io_) {}

NTCPServerThread::~NTCPServerThread() {
    // The handler's threads post replies to the event loop: they are done before it stops, and
    // long before it goes.
    if (handlerStarted_) handler_->OnServerStop();
    if (!stopped_) {
        // run() returns once the handler call in progress, if any, has returned.
        io_.stop();
        if (thread_.joinable()) thread_.join();
        stopped_ = true;
    }
    // The members now go in reverse order: the table lets go of the connections, and the event
    // loop drops the completions still queued for them, which close their sockets without any
    // handler call.
}

std::uint16_t NTCPServerThread::Port() const {
    return listenPort_;
}

void NTCPServerThread::Listen(boost::system::error_code& ec) {
    using boost::asio::ip::tcp;
    const tcp::endpoint endpoint(address_, static_cast<std::uint16_t>(port_));
    acceptor_.open(endpoint.protocol(), ec);
    if (!ec) ClaimPort(acceptor_, ec);
    if (!ec) acceptor_.bind(endpoint, ec);
    if (!ec) acceptor_.listen(tcp::acceptor::max_listen_connections, ec);
    if (!ec) listenPort_ = acceptor_.local_endpoint(ec).port();
}

void NTCPServerThread::operator()() {
    try {
        Accept();
        io_.run();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "TCP server thread ended: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "TCP server thread ended: unknown exception\n");
    }
    // Once the thread is gone nobody accepts: refuse new peers instead of leaving them queued.
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    ended_ = true;
}

void NTCPServerThread::Accept() {
    if (!pending_) pending_ = std::make_shared<NTCPConnection>(*this, io_, handler_);
    acceptor_.async_accept(pending_->Socket(),
                           [this](const boost::system::error_code& ec) { OnAccepted(ec); });
}

void NTCPServerThread::OnAccepted(const boost::system::error_code& ec) {
    if (ec == boost::asio::error::operation_aborted) return;
    if (ec) {
        if (RetryAcceptAtOnce(ec)) {
            Accept();
            return;
        }
        acceptPause_.expires_after(kAcceptPause);
        acceptPause_.async_wait([this](const boost::system::error_code& waitError) {
            if (!waitError) Accept();
        });
        return;
    }

    // A peer that reset before this point has no address any more; only it is dropped.
    boost::system::error_code endpointError;
    const auto peer = pending_->Socket().remote_endpoint(endpointError);
    if (endpointError) {
        pending_.reset();
        Accept();
        return;
    }

    WatchForDeadPeer(pending_->Socket());
    std::string address = peer.address().to_string();
    // A client that closes and at once connects again would find its own old connection still
    // admitted when the new one comes first in this round of the loop: the new one waits until
    // every connection whose end has already arrived has been finished. Their reads are always
    // outstanding, so that takes a turn or two of the loop.
    if (waiting_.size() < kMaxWaiting && (!waiting_.empty() || AnyPeerGone())) {
        waiting_.push_back({std::move(pending_), std::move(address),
                            std::chrono::steady_clock::now() + kAdmissionWait});
        if (waiting_.size() == 1) AdmitWaiting();
    } else {
        Admit(std::move(pending_), address);
    }
    Accept();
}

void NTCPServerThread::Admit(std::shared_ptr<NTCPConnection> connection,
                             const std::string& address) {
    if (!handler_->OnAccept(connection->Id(), address)) {
        // A refused connection's socket closes here, before anything is read or written.
        return;
    }
    {
        std::lock_guard<std::mutex> lock(connectionsMutex_);
        connections_.emplace(connection->Id(), connection);
    }
    connection->Start();
}

bool NTCPServerThread::AnyPeerGone() {
    std::lock_guard<std::mutex> lock(connectionsMutex_);
    for (auto& entry : connections_) {
        if (PeerHasGone(entry.second->Socket())) return true;
    }
    return false;
}

void NTCPServerThread::AdmitWaiting() {
    while (!waiting_.empty() &&
           (waiting_.front().deadline <= std::chrono::steady_clock::now() || !AnyPeerGone())) {
        Waiting next = std::move(waiting_.front());
        waiting_.pop_front();
        Admit(std::move(next.connection), next.address);
    }
    if (waiting_.empty()) {
        admissionTimer_.cancel();
        return;
    }
    // A peer that has gone ends its connection through its read, which is always outstanding;
    // this only bounds the wait should that ever take long.
    admissionTimer_.expires_at(waiting_.front().deadline);
    admissionTimer_.async_wait([this](const boost::system::error_code& ec) {
        if (!ec) AdmitWaiting();
    });
}

void NTCPServerThread::Release(ClientId id) {
    {
        std::lock_guard<std::mutex> lock(connectionsMutex_);
        connections_.erase(id);
    }
    if (!waiting_.empty()) AdmitWaiting();
}

std::shared_ptr<NTCPConnection> NTCPServerThread::Find(ClientId id) {
    std::lock_guard<std::mutex> lock(connectionsMutex_);
    const auto found = connections_.find(id);
    return found == connections_.end() ? nullptr : found->second;
}

// The connection is looked up now, on the caller's thread, and held until the write is queued:
// a reply handed over for a connection that ends meanwhile can never reach a later one that
// happens to get the same id.
void NTCPServerThread::Reply(ClientId id, std::string bytes) {
    std::shared_ptr<NTCPConnection> connection = Find(id);
    if (!connection) return;
    // On the server thread itself, with no reply still on its way through the event loop, the
    // bytes are queued at once: the round through the loop costs a tenth of a reply's latency.
    if (io_.get_executor().running_in_this_thread() && !connection->RepliesOnTheirWay()) {
        connection->Write(std::move(bytes));
        return;
    }
    connection->ReplyOnItsWay();
    boost::asio::post(io_, [connection, bytes = std::move(bytes)]() mutable {
        connection->ReplyArrived();
        connection->Write(std::move(bytes));
    });
}

void NTCPServerThread::End(ClientId id) {
    std::shared_ptr<NTCPConnection> connection = Find(id);
    if (!connection) return;
    boost::asio::post(io_, [connection] { connection->End(); });
}
