#pragma once

#include "net/ClientId.hpp"

#include <string>

class ITCPReplies;

// What the TCP server asks of the protocol behind it. The server knows nothing of the protocol:
// it hands over what each read brings and writes what the handler hands back through
// ITCPReplies, whenever the handler has it. OnAccept, OnDisconnect and OnReceive run on the
// server thread, one at a time, and must return soon: that thread reads and writes for every
// connection. The server never holds a lock of its own while it calls them, so the handler may
// use ITCPReplies under its own lock. The owner destroys the concrete handler; the server never
// does.
class ITCPRecvHandler {
public:
    // Once, from NTCPServerThread::Start on its caller's thread, before any other call: where
    // replies go from now until OnServerStop has returned.
    virtual void OnServerStart(ITCPReplies& replies) = 0;
    // Once per accepted connection, before any read; true admits it, false has it closed at
    // once without a byte and without OnDisconnect.
    virtual bool OnAccept(ClientId id, const std::string& address) = 0;
    // Once when an admitted connection has ended: its read ended (the client closed, reset or
    // half-closed it, or vanished), a write failed, OnReceive returned false or
    // ITCPReplies::End was called. Not when the server is stopped. From then on, replies handed
    // over for the id are dropped until another connection is admitted under it.
    virtual void OnDisconnect(ClientId id) = 0;
    // The bytes of one read (1-10000), valid only during the call; the server reads on as soon
    // as it returns. False ends the connection (replies not yet written are dropped).
    virtual bool OnReceive(ClientId id, const char* data, unsigned size) = 0;
    // Once, from NTCPServerThread::Stop on its caller's thread, before the event loop stops (the
    // calls above may still run meanwhile). Returns once the handler makes no ITCPReplies call
    // and will make none: the event loop it posts to is about to go.
    virtual void OnServerStop() = 0;

protected:
    ~ITCPRecvHandler() = default;
};
