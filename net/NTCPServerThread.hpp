#pragma once

#include "net/ITCPRecvHandler.hpp"
#include "net/ITCPReplies.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

class NTCPConnection;

// A TCP listener (on 0.0.0.0 unless told otherwise) with one thread of its own that runs the
// event loop: it accepts connections, reads from each for as long as it is open, hands the bytes
// to the handler and writes the replies the handler hands back, from any thread, through
// ITCPReplies. The thread does only this I/O.
class NTCPServerThread final : public ITCPReplies {
public:
    // How long a new connection waits at most for connections whose peer has already gone to be
    // finished before the handler is asked about it, and how many may wait at once.
    static constexpr std::chrono::seconds kAdmissionWait{1};
    static constexpr std::size_t kMaxWaiting = 64;

    // Opens, binds and listens on the address and port (0: any free port, see Port), gives the
    // handler the reply path (OnServerStart) and launches the server thread. Null on failure,
    // with error set to the system's error number (1 when there is none); error is 0 on
    // success. The handler must outlive Stop.
    static NTCPServerThread* Start(
        std::int32_t port, ITCPRecvHandler* handler, std::uint32_t& error,
        const boost::asio::ip::address& address = boost::asio::ip::address_v4::any());
    // In this order: asks the handler to stop using the reply path (OnServerStop), stops the
    // event loop, joins the server thread, closes every socket without OnDisconnect and frees
    // the server. Null does nothing.
    static void Stop(NTCPServerThread* server);

    // The port actually listened on.
    std::uint16_t Port() const;
    // True once the server thread has ended by itself (an exception ended it): no connection is
    // accepted or served any more. Any thread.
    bool Ended() const { return ended_; }

    // ITCPReplies: any thread, until the handler's OnServerStop has returned.
    void Reply(ClientId id, std::string bytes) override;
    void End(ClientId id) override;

    // The server thread body.
    void operator()();

    NTCPServerThread(const NTCPServerThread&) = delete;
    NTCPServerThread& operator=(const NTCPServerThread&) = delete;

private:
    friend class NTCPConnection;

    // An accepted connection that the handler has not been asked about yet.
    struct Waiting {
        std::shared_ptr<NTCPConnection> connection;
        std::string address;
        std::chrono::steady_clock::time_point deadline;
    };

    NTCPServerThread(std::int32_t port, ITCPRecvHandler* handler,
                     const boost::asio::ip::address& address);
    ~NTCPServerThread();

    // Opens the listening socket; the first failing step's error is returned in ec.
    void Listen(boost::system::error_code& ec);
    void Accept();
    void OnAccepted(const boost::system::error_code& ec);
    // Asks the handler about the connection and serves it if admitted.
    void Admit(std::shared_ptr<NTCPConnection> connection, const std::string& address);
    // Whether an admitted connection's peer has gone without the connection having ended yet.
    bool AnyPeerGone();
    // Admits the waiting connections, in order, for as long as no admitted peer has gone (or
    // their wait is over), and sets the timer for the next deadline.
    void AdmitWaiting();
    // Lets go of an ended connection; called by the connection itself as its last act.
    void Release(ClientId id);
    // The open connection under the id, if any. Any thread.
    std::shared_ptr<NTCPConnection> Find(ClientId id);

    // Destroyed last: the connections that their queued operations still hold go with it, after
    // every other member, without any of those operations being run.
    boost::asio::io_context io_;
    std::int32_t port_;
    boost::asio::ip::address address_;
    ITCPRecvHandler* handler_;
    std::uint16_t listenPort_ = 0;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer acceptPause_;
    // The spare connection an accept is pending for.
    std::shared_ptr<NTCPConnection> pending_;
    // The admitted connections: the server thread changes the table, the reply path looks
    // things up in it from other threads; the one lock guards it. The handler is never called
    // with the lock held.
    std::mutex connectionsMutex_;
    std::unordered_map<ClientId, std::shared_ptr<NTCPConnection>> connections_;
    std::deque<Waiting> waiting_;
    boost::asio::steady_timer admissionTimer_;
    bool handlerStarted_ = false;
    bool stopped_ = false;
    std::atomic<bool> ended_{false};
    std::thread thread_;
};
