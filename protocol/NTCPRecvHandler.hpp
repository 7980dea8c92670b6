#pragma once

#include "net/ITCPRecvHandler.hpp"

#include <atomic>
#include <cstddef>
#include <functional>
#include <map>
#include <string>

class StationScheduler;

// The client protocol behind the TCP server: admits one client at a time, frames its bytes at
// carriage returns and answers each message through the message processor.
class NTCPRecvHandler final : public ITCPRecvHandler {
public:
    // Longest text kept for a client without a carriage return; beyond it the client is dropped.
    static constexpr std::size_t kMaxClientText = 64 * 1024;

    using MessageProcessor = std::function<bool(std::string message, std::string& reply)>;

    // Answers through ProcessMessage with the scheduler, which must outlive the handler.
    explicit NTCPRecvHandler(StationScheduler& scheduler);
    explicit NTCPRecvHandler(MessageProcessor processor);

    // Admits the connection when no client is connected.
    bool OnAccept(ClientId id, const std::string& address) override;
    // Forgets the client, so that the next connection is admitted.
    void OnDisconnect(ClientId id) override;
    // Carries out every message completed by these bytes, in order, and sets the reply to all
    // their answers, each ended by "\r". A line feed right after a carriage return is dropped.
    // False when the processor fails or the client's unfinished text exceeds kMaxClientText.
    bool OnReceive(ClientId id, const char* data, unsigned size, bool& replyReady,
                   std::string& reply, bool& closeAfterReply) override;
    // From any thread, before the server is stopped: messages not yet begun are not carried out,
    // so that a read holding many messages for a slow station cannot hold up the stop for long.
    void StopProcessing() { stopping_ = true; }

private:
    struct ClientText {
        std::string text;                  // received since the last carriage return
        bool afterCarriageReturn = false;  // the latest byte was a carriage return
    };

    // The connected client ("connected" means the map is not empty).
    std::map<ClientId, ClientText> clientBuffers;
    MessageProcessor processor_;
    std::atomic<bool> stopping_{false};
};
