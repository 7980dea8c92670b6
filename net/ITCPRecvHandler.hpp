#pragma once

#include <cstdint>
#include <string>

// Identifies one open TCP connection (the address of its connection object); unique among open
// connections, possibly reused after a close.
using ClientId = std::uintptr_t;

// What the TCP server asks of the protocol behind it. All calls run on the server thread, one
// at a time. The owner destroys the concrete handler; the server never does.
class ITCPRecvHandler {
public:
    // Once per accepted connection, before any read; true admits it, false has it closed at
    // once without a byte and without OnDisconnect.
    virtual bool OnAccept(ClientId id, const std::string& address) = 0;
    // Once when an admitted connection has ended (not when the server is stopped).
    virtual void OnDisconnect(ClientId id) = 0;
    // The bytes of one read (1-10000), valid only during the call. Setting replyReady has the
    // server write the reply text as it stands (nothing added) before it reads again;
    // closeAfterReply shuts the connection down after that write. False ends the connection
    // without sending anything.
    virtual bool OnReceive(ClientId id, const char* data, unsigned size, bool& replyReady,
                           std::string& reply, bool& closeAfterReply) = 0;

protected:
    ~ITCPRecvHandler() = default;
};
