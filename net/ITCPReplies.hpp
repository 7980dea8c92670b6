#pragma once

#include "net/ClientId.hpp"

#include <string>

// The way back from the protocol to the TCP server: replies are handed over from any thread,
// whenever they are ready, and the server writes them on its own thread. Offered by
// NTCPServerThread to its handler (ITCPRecvHandler::OnServerStart).
class ITCPReplies {
public:
    // Any thread: has the bytes written to the connection as they stand (nothing added), after
    // every reply handed over before for it. Dropped when no connection is open under the id,
    // or when it ends before they are written (also when the handler's OnReceive that handed
    // them over returns false). On the server's own thread they may be queued before it
    // returns, and the connection may end within the call (OnDisconnect): call it there
    // without holding a lock that OnDisconnect takes.
    virtual void Reply(ClientId id, std::string bytes) = 0;
    // Any thread: ends the connection (replies not yet written are dropped); OnDisconnect
    // follows. Nothing when no connection is open under the id.
    virtual void End(ClientId id) = 0;

protected:
    ~ITCPReplies() = default;
};
