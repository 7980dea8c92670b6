#include "protocol/NTCPRecvHandler.hpp"

#include "base/ConsoleLog.hpp"
#include "tests/support/RecordedProtocol.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace {

constexpr ClientId kClient = 0x5A1F00;

// A handler whose processor records each message, answers "A(message)" and fails for "BAD";
// console lines are captured, the processor's own "[E Recv]" line included.
class RecvHandler : public ::testing::Test {
protected:
    void SetUp() override {
        SetConsoleSink(
            [this](const char* text, std::size_t size) { console.emplace_back(text, size); });
    }
    void TearDown() override { SetConsoleSink(nullptr); }

    // One read from the client; the reply when one is ready.
    std::optional<std::string> Receive(const std::string& chunk, bool* kept = nullptr,
                                       ClientId id = kClient) {
        bool replyReady = false;
        bool closeAfterReply = false;
        const bool keep = handler.OnReceive(id, chunk.data(), static_cast<unsigned>(chunk.size()),
                                            replyReady, reply, closeAfterReply);
        EXPECT_FALSE(closeAfterReply);
        if (kept != nullptr) {
            *kept = keep;
        } else {
            EXPECT_TRUE(keep);
        }
        if (!replyReady) return std::nullopt;
        return reply;
    }

    std::vector<std::string> messages;
    std::vector<std::string> console;
    std::string reply = "stale reply of an earlier read";
    NTCPRecvHandler handler{[this](std::string message, std::string& out) {
        ConsoleLog("[E Recv] %s\n", message.c_str());
        messages.push_back(message);
        if (message == "BAD") return false;
        out = "A(" + message + ")";
        return true;
    }};
};

struct Read {
    std::string chunk;
    std::optional<std::string> reply;  // none: nothing is sent for this read
};

struct FramingCase {
    const char* name;
    std::vector<Read> reads;
    std::vector<std::string> messages;
};

void PrintTo(const FramingCase& c, std::ostream* os) {
    *os << c.name;
}

class Framing : public RecvHandler, public ::testing::WithParamInterface<FramingCase> {};

TEST_P(Framing, EveryMessageIsAnsweredInOrder) {
    const FramingCase& c = GetParam();
    ASSERT_TRUE(handler.OnAccept(kClient, "127.0.0.1"));
    for (const Read& read : c.reads) {
        SCOPED_TRACE(read.chunk);
        EXPECT_EQ(Receive(read.chunk), read.reply);
    }
    EXPECT_EQ(messages, c.messages);
}

const FramingCase kFramingCases[] = {
    {"OneMessage", {{"E\r", "A(E)\r"}}, {"E"}},
    {"CarriageReturnInTheNextRead", {{"E", std::nullopt}, {"\r", "A(E)\r"}}, {"E"}},
    {"MessageSplitOverManyReads",
     {{"Q C0", std::nullopt}, {" 03 3F", std::nullopt}, {" 85 79\r", "A(Q C0 03 3F 85 79)\r"}},
     {"Q C0 03 3F 85 79"}},
    {"EmptyMessage", {{"\r", "A()\r"}}, {""}},
    {"TwoEmptyMessages", {{"\r\r", "A()\rA()\r"}}, {"", ""}},
    {"PipelinedMessagesAllAnswered", {{"E\rK\r", "A(E)\rA(K)\r"}}, {"E", "K"}},
    {"StartOfTheNextMessageWaits",
     {{"E\rK", "A(E)\r"}, {"1", std::nullopt}, {"\r", "A(K1)\r"}},
     {"E", "K1"}},
    {"CarriageReturnLineFeed", {{"E\r\nK\r\n", "A(E)\rA(K)\r"}}, {"E", "K"}},
    {"LineFeedInTheNextRead", {{"E\r", "A(E)\r"}, {"\nK\r", "A(K)\r"}}, {"E", "K"}},
    {"LineFeedAloneInTheNextRead",
     {{"E\r", "A(E)\r"}, {"\n", std::nullopt}, {"K\r", "A(K)\r"}},
     {"E", "K"}},
    {"OnlyOneLineFeedIsDropped", {{"E\r\n\nK\r", "A(E)\rA(\nK)\r"}}, {"E", "\nK"}},
    {"LineFeedNotAfterCarriageReturnIsKept", {{"E\nK\r", "A(E\nK)\r"}}, {"E\nK"}},
    {"LineFeedAfterALaterReadIsKept",
     {{"E\r", "A(E)\r"}, {"K", std::nullopt}, {"\nX\r", "A(K\nX)\r"}},
     {"E", "K\nX"}},
    {"EveryByteValueIsKept",
     {{std::string("E\0\xFF", 3) + "\r", std::string("A(E\0\xFF)\r", 7)}},
     {std::string("E\0\xFF", 3)}},
};

INSTANTIATE_TEST_SUITE_P(Reads, Framing, ::testing::ValuesIn(kFramingCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RecvHandler, ReplyIsReplacedNotExtended) {
    ASSERT_TRUE(handler.OnAccept(kClient, "127.0.0.1"));
    EXPECT_EQ(Receive("LONGER MESSAGE\r"), "A(LONGER MESSAGE)\r");
    EXPECT_EQ(Receive("E\r"), "A(E)\r");
    EXPECT_EQ(reply, "A(E)\r");
}

TEST_F(RecvHandler, LinesComeInTheOrderOfTheMessages) {
    ASSERT_TRUE(handler.OnAccept(kClient, "10.0.0.7"));
    Receive("E\rK\r");
    EXPECT_EQ(console, (std::vector<std::string>{
                           "TCP connection accepted from [10.0.0.7], ID: 5A1F00.\n", "[E Recv] E\n",
                           "[E Send] A(E)\n", "[E Recv] K\n", "[E Send] A(K)\n"}));
}

TEST_F(RecvHandler, FailingProcessorDropsTheConnectionWithoutReply) {
    ASSERT_TRUE(handler.OnAccept(kClient, "127.0.0.1"));
    console.clear();
    bool kept = true;
    EXPECT_EQ(Receive("E\rBAD\rK\r", &kept), std::nullopt);
    EXPECT_FALSE(kept);
    EXPECT_EQ(messages, (std::vector<std::string>{"E", "BAD"}));
    EXPECT_EQ(console,
              (std::vector<std::string>{"[E Recv] E\n", "[E Send] A(E)\n", "[E Recv] BAD\n"}));
}

// The stop arrives while a message of the read waits for the station: the messages after it are
// not carried out, so the server thread can end soon after.
TEST(RecvHandlerStop, MessagesAfterTheStopAreNotCarriedOut) {
    SetConsoleSink([](const char*, std::size_t) {});
    std::vector<std::string> messages;
    NTCPRecvHandler* self = nullptr;
    NTCPRecvHandler handler{[&](std::string message, std::string& out) {
        messages.push_back(message);
        if (message == "E") self->StopProcessing();
        out = "O";
        return true;
    }};
    self = &handler;
    ASSERT_TRUE(handler.OnAccept(kClient, "127.0.0.1"));
    const std::string chunk = "V\rE\rK\rR 001\r";
    bool replyReady = false;
    bool closeAfterReply = false;
    std::string reply;
    EXPECT_TRUE(handler.OnReceive(kClient, chunk.data(), static_cast<unsigned>(chunk.size()),
                                  replyReady, reply, closeAfterReply));
    SetConsoleSink(nullptr);
    EXPECT_EQ(messages, (std::vector<std::string>{"V", "E"}));
}

TEST_F(RecvHandler, OneClientAtATime) {
    EXPECT_TRUE(handler.OnAccept(0x10, "192.168.1.2"));
    EXPECT_FALSE(handler.OnAccept(0x20, "192.168.1.3"));
    Receive("E\r", nullptr, 0x10);  // the admitted client is not affected
    handler.OnDisconnect(0x10);
    EXPECT_TRUE(handler.OnAccept(0x20, "192.168.1.3"));
    EXPECT_EQ(console, (std::vector<std::string>{
                           "TCP connection accepted from [192.168.1.2], ID: 10.\n",
                           "Already connected. Denied connection from [192.168.1.3].\n",
                           "[E Recv] E\n", "[E Send] A(E)\n", "Client disconnected, ID: 10.\n",
                           "TCP connection accepted from [192.168.1.3], ID: 20.\n"}));
}

TEST_F(RecvHandler, UnfinishedTextIsForgottenOnDisconnect) {
    ASSERT_TRUE(handler.OnAccept(kClient, "127.0.0.1"));
    Receive("E1");
    handler.OnDisconnect(kClient);
    ASSERT_TRUE(handler.OnAccept(kClient, "127.0.0.1"));
    EXPECT_EQ(Receive("K\r"), "A(K)\r");
}

TEST_F(RecvHandler, DisconnectOfAnUnknownIdOnlyPrints) {
    ASSERT_TRUE(handler.OnAccept(kClient, "127.0.0.1"));
    handler.OnDisconnect(0xBEEF);
    EXPECT_FALSE(handler.OnAccept(0xBEEF, "127.0.0.2"));
    EXPECT_EQ(console.at(1), "Client disconnected, ID: BEEF.\n");
}

TEST_F(RecvHandler, TextUpToTheCapIsKept) {
    ASSERT_TRUE(handler.OnAccept(kClient, "127.0.0.1"));
    const std::string chunk(10000, 'x');
    std::size_t sent = 0;
    while (sent + chunk.size() <= NTCPRecvHandler::kMaxClientText) {
        Receive(chunk);
        sent += chunk.size();
    }
    Receive(std::string(NTCPRecvHandler::kMaxClientText - sent, 'x'));
    EXPECT_EQ(Receive("\r"), "A(" + std::string(NTCPRecvHandler::kMaxClientText, 'x') + ")\r");
}

TEST_F(RecvHandler, TextBeyondTheCapDropsTheClient) {
    ASSERT_TRUE(handler.OnAccept(kClient, "127.0.0.1"));
    const std::string chunk(10000, 'x');
    std::size_t sent = 0;
    while (sent + chunk.size() <= NTCPRecvHandler::kMaxClientText) {
        Receive(chunk);
        sent += chunk.size();
    }
    Receive(std::string(NTCPRecvHandler::kMaxClientText - sent, 'x'));
    bool kept = true;
    EXPECT_EQ(Receive("x\r", &kept), std::nullopt);  // the carriage return comes too late
    EXPECT_FALSE(kept);
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(console.back(),
              "Client ID: 5A1F00 sent more than 65536 bytes without a carriage return; "
              "connection dropped.\n");

    // The server reports the connection closed; the next client is admitted and starts afresh.
    handler.OnDisconnect(kClient);
    ASSERT_TRUE(handler.OnAccept(kClient + 1, "127.0.0.1"));
    EXPECT_EQ(Receive("E\r", nullptr, kClient + 1), "A(E)\r");
}

TEST_F(RecvHandler, CapCountsOnlyTheUnfinishedText) {
    ASSERT_TRUE(handler.OnAccept(kClient, "127.0.0.1"));
    const std::string messagesOfAChunk =
        std::string(4999, 'y') + "\r" + std::string(4999, 'y') + "\r";
    for (int i = 0; i < 20; ++i)
        Receive(messagesOfAChunk);
    EXPECT_EQ(messages.size(), 40u);
}

TEST(RecvHandlerDefault, AnswersThroughProcessMessage) {
    std::vector<std::string> console;
    SetConsoleSink([&](const char* text, std::size_t size) { console.emplace_back(text, size); });
    RecordedProtocol protocol;
    NTCPRecvHandler handler(protocol.scheduler);
    ASSERT_TRUE(handler.OnAccept(1, "127.0.0.1"));
    const std::string chunk = "V\rz\rGD 01\r";
    bool replyReady = false;
    bool closeAfterReply = false;
    std::string reply;
    EXPECT_TRUE(handler.OnReceive(1, chunk.data(), static_cast<unsigned>(chunk.size()), replyReady,
                                  reply, closeAfterReply));
    SetConsoleSink(nullptr);
    EXPECT_TRUE(replyReady);
    EXPECT_EQ(reply, "---\r?\rG010000\r");
    EXPECT_EQ(console,
              (std::vector<std::string>{"TCP connection accepted from [127.0.0.1], ID: 1.\n",
                                        "[E Recv] V\n", "[E Send] ---\n", "[E Recv] z\n",
                                        "[E Send] ?\n", "[E Recv] GD 01\n", "[E Send] G010000\n"}));
}

}  // namespace
