#pragma once

#include "net/ITCPRecvHandler.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include <cstdint>
#include <memory>
#include <thread>
#include <unordered_map>

class NTCPConnection;

// A TCP listener on 0.0.0.0 with one thread of its own that runs the event loop, accepts
// connections, reads from them, hands the bytes to the handler and writes its replies.
class NTCPServerThread {
public:
    // Opens, binds and listens on the port (0: any free port, see Port) and launches the server
    // thread. Null on failure, with error set to the system's error number (1 when there is
    // none); error is 0 on success. The handler must outlive Stop.
    static NTCPServerThread* Start(std::int32_t port, ITCPRecvHandler* handler,
                                   std::uint32_t& error);
    // Stops the event loop, joins the server thread, closes every socket without OnDisconnect
    // and frees the server. Null does nothing.
    static void Stop(NTCPServerThread* server);

    // The port actually listened on.
    std::uint16_t Port() const;

    // The server thread body.
    void operator()();

    NTCPServerThread(const NTCPServerThread&) = delete;
    NTCPServerThread& operator=(const NTCPServerThread&) = delete;

private:
    friend class NTCPConnection;

    NTCPServerThread(std::int32_t port, ITCPRecvHandler* handler);
    ~NTCPServerThread();

    // Opens the listening socket; the first failing step's error is returned in ec.
    void Listen(boost::system::error_code& ec);
    void Accept();
    void OnAccepted(const boost::system::error_code& ec);
    // Destroys an admitted connection; called by the connection itself as its last act.
    void Release(NTCPConnection* connection);

    // Destroyed last, so every socket below is closed while the loop still exists and every
    // handler still queued in it is dropped without being run.
    boost::asio::io_context io_;
    std::int32_t port_;
    ITCPRecvHandler* handler_;
    std::uint16_t listenPort_ = 0;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer acceptPause_;
    // The spare connection an accept is pending for.
    std::unique_ptr<NTCPConnection> pending_;
    std::unordered_map<const NTCPConnection*, std::unique_ptr<NTCPConnection>> connections_;
    bool stopped_ = false;
    std::thread thread_;
};
