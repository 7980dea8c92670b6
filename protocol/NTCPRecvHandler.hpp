#pragma once

#include "net/ITCPRecvHandler.hpp"
#include "protocol/ClientMessages.hpp"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class ITCPReplies;
class StationScheduler;

// The client protocol behind the TCP server: admits one client at a time, frames its bytes at
// carriage returns and carries its messages out, in order and one at a time, on a message worker
// thread of its own, so that the server's thread only reads and writes. Each reply, with its
// "\r", goes back to the server as soon as its message is done; a client that has gone takes
// the messages not yet begun with it.
//
// The shell around ClientMessages: the worker thread and the one lock around the client's
// messages and the reply path.
class NTCPRecvHandler final : public ITCPRecvHandler {
public:
    static constexpr std::size_t kMaxClientText = ClientMessages::kMaxClientText;

    // Carries out one message and fills its reply; received: when its read arrived.
    using MessageProcessor = std::function<bool(std::string message, std::string& reply,
                                                std::chrono::steady_clock::time_point received)>;

    // Answers through ProcessMessage with the scheduler, which must outlive the handler.
    explicit NTCPRecvHandler(StationScheduler& scheduler);
    // Answers through the processor (on the worker thread); false from it ends the connection.
    explicit NTCPRecvHandler(MessageProcessor processor);
    // Stops the worker as OnServerStop does.
    ~NTCPRecvHandler();
    NTCPRecvHandler(const NTCPRecvHandler&) = delete;
    NTCPRecvHandler& operator=(const NTCPRecvHandler&) = delete;

    // Replies go there from now on.
    void OnServerStart(ITCPReplies& replies) override;
    // Admits the connection when no client is connected.
    bool OnAccept(ClientId id, const std::string& address) override;
    // Forgets the client, so that the next connection is admitted; its messages not yet begun
    // are dropped, and the reply of the one under way is not sent.
    void OnDisconnect(ClientId id) override;
    // Frames the bytes and hands the complete messages to the worker. False when the client's
    // unfinished text exceeds kMaxClientText or too much waits for the worker
    // (ClientMessages).
    bool OnReceive(ClientId id, const char* data, unsigned size) override;
    // Drops every message not yet begun, waits for the one under way (the station and the
    // scheduler are stopped first, so that it ends at once) and ends the worker; no reply is
    // handed over afterwards. Idempotent.
    void OnServerStop() override;

private:
    // The worker thread's body: the next message, carried out without the lock; its reply
    // handed over under the lock if its client is still there.
    void Work();

    MessageProcessor processor_;
    std::mutex mutex_;  // guards everything below but the thread
    std::condition_variable wake_;
    ClientMessages messages_;
    ITCPReplies* replies_ = nullptr;
    bool stopping_ = false;
    std::thread worker_;
};
