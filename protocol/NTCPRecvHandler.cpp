#include "protocol/NTCPRecvHandler.hpp"

#include "base/ConsoleLog.hpp"
#include "base/StopSignalsBlocked.hpp"
#include "net/ITCPReplies.hpp"
#include "protocol/ProcessMessage.hpp"

#include <utility>

namespace {

unsigned long long Wide(ClientId id) {
    return static_cast<unsigned long long>(id);
}

}  // namespace

NTCPRecvHandler::NTCPRecvHandler(StationScheduler& scheduler)
    : NTCPRecvHandler(
          [&scheduler](std::string message, std::string& reply,
                       std::chrono::steady_clock::time_point received) {
              return ProcessMessage(std::move(message), reply, scheduler, received);
          },
          &AnsweredAtOnce) {}

NTCPRecvHandler::NTCPRecvHandler(MessageProcessor processor, AtOnce atOnce)
    : processor_(std::move(processor)), atOnce_(std::move(atOnce)) {
    const StopSignalsBlocked forTheNewThread;
    worker_ = std::thread(&NTCPRecvHandler::Work, this);
}

NTCPRecvHandler::~NTCPRecvHandler() {
    OnServerStop();
}

void NTCPRecvHandler::OnServerStart(ITCPReplies& replies) {
    std::lock_guard<std::mutex> lock(mutex_);
    replies_ = &replies;
}

bool NTCPRecvHandler::OnAccept(ClientId id, const std::string& address) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!messages_.Admit(id)) {
            ConsoleLog("Already connected. Denied connection from [%s].\n", address.c_str());
            return false;
        }
    }
    ConsoleLog("TCP connection accepted from [%s], ID: %llX.\n", address.c_str(), Wide(id));
    return true;
}

void NTCPRecvHandler::OnDisconnect(ClientId id) {
    ConsoleLog("Client disconnected, ID: %llX.\n", Wide(id));
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.Forget(id);
}

bool NTCPRecvHandler::OnReceive(ClientId id, const char* data, unsigned size) {
    std::unique_lock<std::mutex> lock(mutex_);
    const ClientMessages::Fed fed =
        messages_.Feed(id, data, size, std::chrono::steady_clock::now());
    if (fed == ClientMessages::Fed::Kept) {
        while (atOnce_ && !busy_ && !stopping_ && messages_.AnyWaiting() &&
               atOnce_(messages_.NextText())) {
            Carry(lock, messages_.Next(), true);
        }
        // Only the worker waits for a message, and it finds the next one itself once busy.
        const bool forTheWorker = messages_.AnyWaiting() && !busy_;
        lock.unlock();
        if (forTheWorker) wake_.notify_one();
        return true;
    }
    lock.unlock();
    switch (fed) {
        case ClientMessages::Fed::Kept:
            return true;
        case ClientMessages::Fed::TextTooLong:
            ConsoleLog(
                "Client ID: %llX sent more than %zu bytes without a carriage return; "
                "connection dropped.\n",
                Wide(id), ClientMessages::kMaxClientText);
            return false;
        case ClientMessages::Fed::TooManyWaiting:
            ConsoleLog(
                "Client ID: %llX sent more than %zu messages or %zu bytes ahead of their "
                "replies; connection dropped.\n",
                Wide(id), ClientMessages::kMaxWaitingMessages, ClientMessages::kMaxWaitingText);
            return false;
        case ClientMessages::Fed::NotAdmitted:
            break;
    }
    return false;
}

void NTCPRecvHandler::OnServerStop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (worker_.joinable()) worker_.join();
}

void NTCPRecvHandler::Work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || (!busy_ && messages_.AnyWaiting()); });
        if (stopping_) return;
        Carry(lock, messages_.Next(), false);
    }
}

void NTCPRecvHandler::Carry(std::unique_lock<std::mutex>& lock, ClientMessages::Message message,
                            bool onServerThread) {
    busy_ = true;
    lock.unlock();
    std::string reply;
    const bool answered = processor_(std::move(message.text), reply, message.received);
    lock.lock();

    // Checked under the lock that OnDisconnect takes: a reply is never handed over for a client
    // after the server has reported it gone, so it can never reach a later client that happens
    // to get the same id.
    ITCPReplies* replies = replies_;
    const bool wanted = !stopping_ && messages_.Wanted(message) && replies != nullptr;
    if (wanted && !answered) messages_.EndClient(message.client);
    if (wanted && answered) {
        ConsoleLog("[E Send] %s\n", ShownText(reply).c_str());
        reply += '\r';
    }
    if (wanted && onServerThread) {
        // There the reply is written at once and the connection may end within the call, which
        // takes the lock; the client cannot go meanwhile, since it goes on this thread.
        lock.unlock();
        answered ? replies->Reply(message.client, std::move(reply)) : replies->End(message.client);
        lock.lock();
    } else if (wanted) {
        answered ? replies->Reply(message.client, std::move(reply)) : replies->End(message.client);
    }
    busy_ = false;
}
