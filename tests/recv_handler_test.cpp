#include "protocol/NTCPRecvHandler.hpp"

#include "base/ConsoleLog.hpp"
#include "net/ITCPReplies.hpp"
#include "tests/support/ConsoleCapture.hpp"
#include "tests/support/RecordedProtocol.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr ClientId kClient = 0x5A1F00;
// Generous: no wait lasts this long when all is well.
constexpr auto kWait = 10s;

// The server's side of the reply path: records what the handler hands over, from any thread.
class RecordingReplies final : public ITCPReplies {
public:
    struct Handed {
        ClientId id;
        std::string bytes;  // empty: End
        bool operator==(const Handed& other) const {
            return id == other.id && bytes == other.bytes;
        }
    };

    void Reply(ClientId id, std::string bytes) override { Record({id, std::move(bytes)}); }
    void End(ClientId id) override { Record({id, {}}); }

    std::vector<Handed> All() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return handed_;
    }
    // Waits until at least count things were handed over.
    bool WaitFor(std::size_t count) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, kWait, [&] { return handed_.size() >= count; });
    }

private:
    void Record(Handed handed) {
        std::lock_guard<std::mutex> lock(mutex_);
        handed_.push_back(std::move(handed));
        changed_.notify_all();
    }

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Handed> handed_;
};

std::ostream& operator<<(std::ostream& out, const RecordingReplies::Handed& handed) {
    return out << std::hex << handed.id << ":" << (handed.bytes.empty() ? "End" : handed.bytes);
}

// A handler whose processor answers "A(message)", fails for "BAD" and holds "HOLD" until the
// test lets it go; the processor's own "[E Recv]" line stands in for ProcessMessage's.
class RecvHandler : public ::testing::Test {
protected:
    void SetUp() override { handler.OnServerStart(replies); }
    // A test that ended early must not leave the worker held: the handler joins it.
    ~RecvHandler() override { LetGo(); }

    // One read from the client; whether the connection is kept.
    bool Receive(const std::string& chunk, ClientId id = kClient) {
        return handler.OnReceive(id, chunk.data(), static_cast<unsigned>(chunk.size()));
    }

    // Waits until the processor holds a "HOLD" message.
    bool WaitUntilHeld() {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, kWait, [&] { return held_; });
    }
    void LetGo() {
        std::lock_guard<std::mutex> lock(mutex_);
        letGo_ = true;
        changed_.notify_all();
    }
    std::vector<std::string> Messages() {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_;
    }
    // The threads the messages were carried out on, in their order.
    std::vector<std::thread::id> Threads() {
        std::lock_guard<std::mutex> lock(mutex_);
        return threads_;
    }

    ConsoleCapture console;
    RecordingReplies replies;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> messages_;
    std::vector<std::thread::id> threads_;
    bool held_ = false;
    bool letGo_ = false;
    // Whether messages beginning with "Q" count as answered at once (set before the first read).
    bool quickQ_ = false;
    NTCPRecvHandler handler{
        [this](std::string message, std::string& out, std::chrono::steady_clock::time_point) {
            ConsoleLog("[E Recv] %s\n", message.c_str());
            std::unique_lock<std::mutex> lock(mutex_);
            messages_.push_back(message);
            threads_.push_back(std::this_thread::get_id());
            if (message == "HOLD") {
                held_ = true;
                changed_.notify_all();
                changed_.wait(lock, [&] { return letGo_; });
            }
            if (message == "BAD") return false;
            out = "A(" + message + ")";
            return true;
        },
        [this](const std::string& message) { return quickQ_ && message[0] == 'Q'; }};
};

using Handed = RecordingReplies::Handed;

TEST_F(RecvHandler, EachReplyIsHandedOverWhenItsOwnMessageIsDone) {
    ASSERT_TRUE(handler.OnAccept(kClient, "127.0.0.1"));
    EXPECT_TRUE(Receive("E\rHOLD\rK\r"));
    ASSERT_TRUE(WaitUntilHeld());
    // The reply of E has gone back while the message after it is still under way.
    ASSERT_TRUE(replies.WaitFor(1));
    EXPECT_EQ(replies.All(), (std::vector<Handed>{{kClient, "A(E)\r"}}));
    LetGo();
    ASSERT_TRUE(replies.WaitFor(3));
    EXPECT_EQ(
        replies.All(),
        (std::vector<Handed>{{kClient, "A(E)\r"}, {kClient, "A(HOLD)\r"}, {kClient, "A(K)\r"}}));
    EXPECT_EQ(Messages(), (std::vector<std::string>{"E", "HOLD", "K"}));
}

TEST_F(RecvHandler, LinesComeInTheOrderOfTheMessages) {
    ASSERT_TRUE(handler.OnAccept(kClient, "10.0.0.7"));
    EXPECT_TRUE(Receive("E\rK\r"));
    ASSERT_TRUE(replies.WaitFor(2));
    ASSERT_TRUE(console.WaitFor("[E Send] A(K)\n", kWait));
    EXPECT_EQ(console.Lines(),
              (std::vector<std::string>{"TCP connection accepted from [10.0.0.7], ID: 5A1F00.\n",
                                        "[E Recv] E\n", "[E Send] A(E)\n", "[E Recv] K\n",
                                        "[E Send] A(K)\n"}));
}

// A message answered at once is carried out on the server's own thread, and its reply handed
// over before the read returns, but only when nothing is under way: it never overtakes.
TEST_F(RecvHandler, MessagesAnsweredAtOnceRunOnTheServersThreadUnlessOneIsUnderWay) {
    quickQ_ = true;
    const std::thread::id server = std::this_thread::get_id();
    ASSERT_TRUE(handler.OnAccept(kClient, "127.0.0.1"));
    EXPECT_TRUE(Receive("Q1\rQ2\rHOLD\rQ3\r"));
    EXPECT_EQ(replies.All(), (std::vector<Handed>{{kClient, "A(Q1)\r"}, {kClient, "A(Q2)\r"}}));
    ASSERT_TRUE(WaitUntilHeld());
    // Behind the one under way, also when it comes in a later read.
    EXPECT_TRUE(Receive("Q4\r"));
    EXPECT_EQ(Messages(), (std::vector<std::string>{"Q1", "Q2", "HOLD"}));
    LetGo();
    ASSERT_TRUE(replies.WaitFor(5));
    EXPECT_EQ(replies.All(), (std::vector<Handed>{{kClient, "A(Q1)\r"},
                                                  {kClient, "A(Q2)\r"},
                                                  {kClient, "A(HOLD)\r"},
                                                  {kClient, "A(Q3)\r"},
                                                  {kClient, "A(Q4)\r"}}));
    const std::vector<std::thread::id> threads = Threads();
    ASSERT_EQ(threads.size(), 5u);
    EXPECT_EQ(threads[0], server);
    EXPECT_EQ(threads[1], server);
    for (std::size_t i = 2; i < threads.size(); ++i)
        EXPECT_NE(threads[i], server) << Messages()[i];
    // Once the worker is done, the next one is the server's again.
    EXPECT_TRUE(Receive("Q5\r"));
    EXPECT_EQ(replies.All().back(), (Handed{kClient, "A(Q5)\r"}));
    EXPECT_EQ(Threads().back(), server);
}

TEST_F(RecvHandler, OneClientAtATime) {
    EXPECT_TRUE(handler.OnAccept(0x10, "192.168.1.2"));
    EXPECT_FALSE(handler.OnAccept(0x20, "192.168.1.3"));
    EXPECT_TRUE(Receive("E\r", 0x10));  // the admitted client is not affected
    ASSERT_TRUE(replies.WaitFor(1));
    handler.OnDisconnect(0x10);
    EXPECT_TRUE(handler.OnAccept(0x20, "192.168.1.3"));
    EXPECT_EQ(replies.All(), (std::vector<Handed>{{0x10, "A(E)\r"}}));
    EXPECT_EQ(console.Lines(),
              (std::vector<std::string>{
                  "TCP connection accepted from [192.168.1.2], ID: 10.\n",
                  "Already connected. Denied connection from [192.168.1.3].\n", "[E Recv] E\n",
                  "[E Send] A(E)\n", "Client disconnected, ID: 10.\n",
                  "TCP connection accepted from [192.168.1.3], ID: 20.\n"}));
}

// The next connection may get the same id as the one that has gone: the reply of the message
// that was under way must not reach it.
TEST_F(RecvHandler, AClientThatHasGoneHasItsMessagesDroppedAndNoReply) {
    ASSERT_TRUE(handler.OnAccept(kClient, "127.0.0.1"));
    EXPECT_TRUE(Receive("HOLD\rR 001\rR 002\r"));
    ASSERT_TRUE(WaitUntilHeld());
    handler.OnDisconnect(kClient);
    ASSERT_TRUE(handler.OnAccept(kClient, "127.0.0.1"));
    EXPECT_TRUE(Receive("V\r"));
    LetGo();
    ASSERT_TRUE(replies.WaitFor(1));
    EXPECT_EQ(replies.All(), (std::vector<Handed>{{kClient, "A(V)\r"}}));
    EXPECT_EQ(Messages(), (std::vector<std::string>{"HOLD", "V"}));
    EXPECT_EQ(console.Count("[E Send] A(HOLD)\n"), 0u);
}

TEST_F(RecvHandler, FailingProcessorEndsTheConnectionAndDropsWhatFollows) {
    ASSERT_TRUE(handler.OnAccept(kClient, "127.0.0.1"));
    EXPECT_TRUE(Receive("E\rBAD\rK\r"));
    ASSERT_TRUE(replies.WaitFor(2));
    EXPECT_EQ(replies.All(), (std::vector<Handed>{{kClient, "A(E)\r"}, {kClient, ""}}));
    // Until the server reports the end, the client sends into nothing.
    EXPECT_TRUE(Receive("V\r"));
    handler.OnDisconnect(kClient);
    ASSERT_TRUE(handler.OnAccept(kClient + 1, "127.0.0.1"));
    EXPECT_TRUE(Receive("M\r", kClient + 1));
    ASSERT_TRUE(replies.WaitFor(3));
    EXPECT_EQ(Messages(), (std::vector<std::string>{"E", "BAD", "M"}));
    EXPECT_EQ(console.Count("[E Send] A(K)\n") + console.Count("[E Send] A(V)\n"), 0u);
}

TEST_F(RecvHandler, TooMuchFromTheClientEndsItWithALine) {
    ASSERT_TRUE(handler.OnAccept(kClient, "127.0.0.1"));
    // The worker is held, so every message after the first waits.
    EXPECT_TRUE(Receive("HOLD\r"));
    ASSERT_TRUE(WaitUntilHeld());
    std::string many;
    for (std::size_t i = 0; i <= ClientMessages::kMaxWaitingMessages; ++i)
        many += "V\r";
    EXPECT_FALSE(Receive(many));
    EXPECT_TRUE(console.WaitFor(
        "Client ID: 5A1F00 sent more than 256 messages or 1048576 bytes ahead of their replies; "
        "connection dropped.\n",
        kWait));
    handler.OnDisconnect(kClient);

    ASSERT_TRUE(handler.OnAccept(kClient + 1, "127.0.0.1"));
    const std::string chunk(10000, 'x');
    for (std::size_t sent = 0; sent + chunk.size() <= NTCPRecvHandler::kMaxClientText;
         sent += chunk.size()) {
        ASSERT_TRUE(Receive(chunk, kClient + 1));
    }
    EXPECT_FALSE(Receive(chunk, kClient + 1));
    EXPECT_TRUE(console.WaitFor(
        "Client ID: 5A1F01 sent more than 65536 bytes without a carriage return; connection "
        "dropped.\n",
        kWait));
    LetGo();
    handler.OnServerStop();
    EXPECT_EQ(Messages(), std::vector<std::string>{"HOLD"});
}

TEST_F(RecvHandler, DisconnectOfAnUnknownIdOnlyPrints) {
    ASSERT_TRUE(handler.OnAccept(kClient, "127.0.0.1"));
    handler.OnDisconnect(0xBEEF);
    EXPECT_FALSE(handler.OnAccept(0xBEEF, "127.0.0.2"));
    EXPECT_EQ(console.Lines().at(1), "Client disconnected, ID: BEEF.\n");
    // Bytes of a connection that was never admitted end it.
    EXPECT_FALSE(Receive("E\r", 0xBEEF));
}

// The program stops the station and the scheduler first, so the message under way ends soon;
// the stop waits for it, and nothing after it is carried out or answered.
TEST_F(RecvHandler, StopDropsTheWaitingMessagesAndWaitsForTheOneUnderWay) {
    ASSERT_TRUE(handler.OnAccept(kClient, "127.0.0.1"));
    EXPECT_TRUE(Receive("V\rHOLD\rK\rR 001\r"));
    ASSERT_TRUE(WaitUntilHeld());
    auto stopped = std::async(std::launch::async, [this] { handler.OnServerStop(); });
    EXPECT_EQ(stopped.wait_for(100ms), std::future_status::timeout);
    LetGo();
    ASSERT_EQ(stopped.wait_for(kWait), std::future_status::ready);
    EXPECT_EQ(Messages(), (std::vector<std::string>{"V", "HOLD"}));
    EXPECT_EQ(replies.All(), (std::vector<Handed>{{kClient, "A(V)\r"}}));
}

TEST(RecvHandlerDefault, AnswersThroughProcessMessage) {
    ConsoleCapture console;
    RecordingReplies replies;
    RecordedProtocol protocol;
    NTCPRecvHandler handler(protocol.scheduler);
    handler.OnServerStart(replies);
    ASSERT_TRUE(handler.OnAccept(1, "127.0.0.1"));
    const std::string chunk = "V\rz\rGD 01\r";
    EXPECT_TRUE(handler.OnReceive(1, chunk.data(), static_cast<unsigned>(chunk.size())));
    ASSERT_TRUE(replies.WaitFor(3));
    handler.OnServerStop();
    EXPECT_EQ(replies.All(), (std::vector<Handed>{{1, "---\r"}, {1, "?\r"}, {1, "G010000\r"}}));
    EXPECT_EQ(console.Lines(),
              (std::vector<std::string>{"TCP connection accepted from [127.0.0.1], ID: 1.\n",
                                        "[E Recv] V\n", "[E Send] ---\n", "[E Recv] z\n",
                                        "[E Send] ?\n", "[E Recv] GD 01\n", "[E Send] G010000\n"}));
}

}  // namespace
