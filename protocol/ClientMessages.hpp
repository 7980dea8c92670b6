#pragma once

#include "net/ClientId.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

// The client protocol's bookkeeping, without a lock, a thread or a socket: which client is
// admitted (one at a time), its text since its last carriage return, and its complete messages
// waiting to be carried out, in order. It is fed the bytes of each read and asked for the next
// message; a client that has gone takes its waiting messages with it.
class ClientMessages {
public:
    // Longest text kept for a client without a carriage return; beyond it the client is dropped.
    static constexpr std::size_t kMaxClientText = 64 * 1024;
    // How much may wait for the message worker. An application sends a message and waits for its
    // reply, or sends a short burst ahead (a throttle taken: five function groups and a speed);
    // packets are carried out at once, so messages wait only behind a slow one (up to 1.8 s,
    // a minute for programming). 256 messages are far beyond any such burst, and with the text
    // bound keep a client that never waits for its replies to a small, fixed amount of memory.
    static constexpr std::size_t kMaxWaitingMessages = 256;
    static constexpr std::size_t kMaxWaitingText = 1024 * 1024;

    using TimePoint = std::chrono::steady_clock::time_point;

    // One complete message, without its carriage return, the admission it belongs to, and when
    // the read that completed it arrived (the application's wait for the reply began then).
    struct Message {
        ClientId client = 0;
        std::uint64_t admission = 0;
        std::string text;
        TimePoint received{};
    };

    enum class Fed {
        Kept,            // framed; complete messages wait in order
        TextTooLong,     // more than kMaxClientText without a carriage return
        TooManyWaiting,  // more than kMaxWaitingMessages or kMaxWaitingText waiting
        NotAdmitted,     // not the admitted client
    };

    // Admits the client when none is admitted; false otherwise.
    bool Admit(ClientId id);
    // The client has gone: it is no longer admitted, its text and its waiting messages are
    // dropped. Any other id changes nothing.
    void Forget(ClientId id);
    // Frames the bytes of one read of the admitted client: every carriage return ends a message
    // (a line feed right after one is dropped), which then waits behind the earlier ones. A
    // client that is being ended takes nothing more. TextTooLong and TooManyWaiting mark the
    // client as being ended and drop what it sent.
    Fed Feed(ClientId id, const char* data, std::size_t size, TimePoint received = {});
    // The client is being ended (its connection is closing): its text and waiting messages are
    // dropped, nothing more is taken from it, and it stays admitted until Forget.
    void EndClient(ClientId id);
    // Whether a message waits.
    bool AnyWaiting() const { return !waiting_.empty(); }
    // The oldest waiting message's text; only when one waits.
    const std::string& NextText() const { return waiting_.front().text; }
    // Takes the oldest waiting message; only when one waits.
    Message Next();
    // Whether the message's client is still admitted and not being ended: its reply is wanted.
    bool Wanted(const Message& message) const;

private:
    enum class State { Open, Ending };
    struct Client {
        ClientId id = 0;
        std::uint64_t admission = 0;
        State state = State::Open;
        std::string text;                  // received since the last carriage return
        bool afterCarriageReturn = false;  // the latest byte was a carriage return
    };

    // Queues one complete message; false when the bounds are exceeded.
    bool Queue(std::string text, TimePoint received);
    void DropWhatWasSent();

    std::optional<Client> client_;  // the admitted client, if any
    std::uint64_t admissions_ = 0;
    std::deque<Message> waiting_;  // all of the admitted client
    std::size_t waitingText_ = 0;
};
