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
// carriage returns and carries its messages out, in order and one at a time. A message that
// may wait for the station goes to a message worker thread of its own, so that the server's
// thread never waits; one answered at once (a packet, a fixed reply) is carried out on the
// server's thread when nothing is under way, which spares it two thread switches. Each reply,
// with its "\r", goes back to the server as soon as its message is done; a client that has gone
// takes the messages not yet begun with it.
//
// The shell around ClientMessages: the worker thread and the one lock around the client's
// messages and the reply path.
class NTCPRecvHandler final : public ITCPRecvHandler {
public:
    static constexpr std::size_t kMaxClientText = ClientMessages::kMaxClientText;

    // Carries out one message and fills its reply; received: when its read arrived.
    using MessageProcessor = std::function<bool(std::string message, std::string& reply,
                                                std::chrono::steady_clock::time_point received)>;
    // Whether the processor answers the message without waiting.
    using AtOnce = std::function<bool(const std::string& message)>;

    // Answers through ProcessMessage with the scheduler, which must outlive the handler.
    explicit NTCPRecvHandler(StationScheduler& scheduler);
    // Answers through the processor; false from it ends the connection. Messages for which
    // atOnce is true are carried out on the server's thread when nothing is under way; without
    // it, every message on the worker thread.
    explicit NTCPRecvHandler(MessageProcessor processor, AtOnce atOnce = nullptr);
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
    // Frames the bytes, carries out the messages answered at once while nothing is under way,
    // and hands the rest to the worker. False when the client's
    // unfinished text exceeds kMaxClientText or too much waits for the worker
    // (ClientMessages).
    bool OnReceive(ClientId id, const char* data, unsigned size) override;
    // Drops every message not yet begun, waits for the one under way (the station and the
    // scheduler are stopped first, so that it ends at once) and ends the worker; no reply is
    // handed over afterwards. Idempotent.
    void OnServerStop() override;

private:
    // The worker thread's body: each waiting message in turn, once nothing else is under way.
    void Work();
    // Carries one message out without the lock, then hands its reply over if its client is
    // still there: under the lock on the worker, after it on the server's thread. Called and
    // returns with the lock held.
    void Carry(std::unique_lock<std::mutex>& lock, ClientMessages::Message message,
               bool onServerThread);

    MessageProcessor processor_;
    AtOnce atOnce_;
    std::mutex mutex_;  // guards everything below but the thread
    std::condition_variable wake_;
    ClientMessages messages_;
    ITCPReplies* replies_ = nullptr;
    bool stopping_ = false;
    bool busy_ = false;  // a message is being carried out, on either thread
    std::thread worker_;
};
