#pragma once

#include "net/ITCPRecvHandler.hpp"

#include <cstddef>
#include <functional>
#include <map>
#include <string>

// The client protocol behind the TCP server: admits one client at a time, frames its bytes at
// carriage returns and answers each message through the message processor.
class NTCPRecvHandler final : public ITCPRecvHandler {
public:
    // Longest text kept for a client without a carriage return; beyond it the client is dropped.
    static constexpr std::size_t kMaxClientText = 64 * 1024;

    using MessageProcessor = std::function<bool(std::string message, std::string& reply)>;

    // Uses ProcessMessage.
    NTCPRecvHandler();
    explicit NTCPRecvHandler(MessageProcessor processor);

    bool OnAccept(ClientId id, const std::string& address) override;
    void OnDisconnect(ClientId id) override;
    bool OnReceive(ClientId id, const char* data, unsigned size, bool& replyReady,
                   std::string& reply, bool& closeAfterReply) override;

private:
    std::map<ClientId, std::string> clientBuffers;
    MessageProcessor processor_;
};
