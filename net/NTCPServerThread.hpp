#pragma once

#include "net/ITCPRecvHandler.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <cstdint>
#include <thread>

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
    NTCPServerThread(std::int32_t port, ITCPRecvHandler* handler);
    ~NTCPServerThread();
    // ... members as the implementation needs (io_context first, acceptor, thread last)
};
