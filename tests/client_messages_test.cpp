#include "protocol/ClientMessages.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace {

constexpr ClientId kClient = 0x5A1F00;

using Fed = ClientMessages::Fed;

// Everything that waits, in order (taken).
std::vector<std::string> TakeAll(ClientMessages& messages) {
    std::vector<std::string> texts;
    while (messages.AnyWaiting())
        texts.push_back(messages.Next().text);
    return texts;
}

struct Read {
    std::string chunk;
    std::vector<std::string> complete;  // the messages this read completes
};

struct FramingCase {
    const char* name;
    std::vector<Read> reads;
};

void PrintTo(const FramingCase& c, std::ostream* os) {
    *os << c.name;
}

class Framing : public ::testing::TestWithParam<FramingCase> {};

TEST_P(Framing, EveryMessageWaitsInOrder) {
    ClientMessages messages;
    ASSERT_TRUE(messages.Admit(kClient));
    for (const Read& read : GetParam().reads) {
        SCOPED_TRACE(read.chunk);
        EXPECT_EQ(messages.Feed(kClient, read.chunk.data(), read.chunk.size()), Fed::Kept);
        EXPECT_EQ(TakeAll(messages), read.complete);
    }
}

const FramingCase kFramingCases[] = {
    {"OneMessage", {{"E\r", {"E"}}}},
    {"CarriageReturnInTheNextRead", {{"E", {}}, {"\r", {"E"}}}},
    {"MessageSplitOverManyReads",
     {{"Q C0", {}}, {" 03 3F", {}}, {" 85 79\r", {"Q C0 03 3F 85 79"}}}},
    {"EmptyMessage", {{"\r", {""}}}},
    {"TwoEmptyMessages", {{"\r\r", {"", ""}}}},
    {"PipelinedMessagesEachWait", {{"E\rK\r", {"E", "K"}}}},
    {"StartOfTheNextMessageWaits", {{"E\rK", {"E"}}, {"1", {}}, {"\r", {"K1"}}}},
    {"CarriageReturnLineFeed", {{"E\r\nK\r\n", {"E", "K"}}}},
    {"LineFeedInTheNextRead", {{"E\r", {"E"}}, {"\nK\r", {"K"}}}},
    {"LineFeedAloneInTheNextRead", {{"E\r", {"E"}}, {"\n", {}}, {"K\r", {"K"}}}},
    {"OnlyOneLineFeedIsDropped", {{"E\r\n\nK\r", {"E", "\nK"}}}},
    {"LineFeedNotAfterCarriageReturnIsKept", {{"E\nK\r", {"E\nK"}}}},
    {"LineFeedAfterALaterReadIsKept", {{"E\r", {"E"}}, {"K", {}}, {"\nX\r", {"K\nX"}}}},
    {"EveryByteValueIsKept", {{std::string("E\0\xFF", 3) + "\r", {std::string("E\0\xFF", 3)}}}},
};

INSTANTIATE_TEST_SUITE_P(Reads, Framing, ::testing::ValuesIn(kFramingCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ClientMessages, OneClientAtATime) {
    ClientMessages messages;
    EXPECT_TRUE(messages.Admit(0x10));
    EXPECT_FALSE(messages.Admit(0x20));
    EXPECT_EQ(messages.Feed(0x20, "E\r", 2), Fed::NotAdmitted);
    messages.Forget(0x20);  // not the admitted one: nothing changes
    EXPECT_FALSE(messages.Admit(0x20));
    messages.Forget(0x10);
    EXPECT_TRUE(messages.Admit(0x20));
}

TEST(ClientMessages, AClientThatHasGoneTakesItsTextAndItsWaitingMessagesWithIt) {
    ClientMessages messages;
    ASSERT_TRUE(messages.Admit(kClient));
    ASSERT_EQ(messages.Feed(kClient, "R 001\rR 002\rE1", 14), Fed::Kept);
    const ClientMessages::Message underWay = messages.Next();
    EXPECT_TRUE(messages.Wanted(underWay));

    messages.Forget(kClient);
    EXPECT_FALSE(messages.AnyWaiting());
    EXPECT_FALSE(messages.Wanted(underWay));

    // The same id may come back for the next connection: the message of the one before is still
    // not wanted, and nothing of it is left.
    ASSERT_TRUE(messages.Admit(kClient));
    EXPECT_FALSE(messages.Wanted(underWay));
    ASSERT_EQ(messages.Feed(kClient, "K\r", 2), Fed::Kept);
    const ClientMessages::Message next = messages.Next();
    EXPECT_EQ(next.text, "K");
    EXPECT_TRUE(messages.Wanted(next));
}

TEST(ClientMessages, AClientBeingEndedTakesNothingMoreAndStaysAdmittedUntilItHasGone) {
    ClientMessages messages;
    ASSERT_TRUE(messages.Admit(kClient));
    ASSERT_EQ(messages.Feed(kClient, "E\rK\rV", 5), Fed::Kept);
    const ClientMessages::Message underWay = messages.Next();
    messages.EndClient(kClient);
    EXPECT_FALSE(messages.Wanted(underWay));
    EXPECT_FALSE(messages.AnyWaiting());
    EXPECT_EQ(messages.Feed(kClient, "\rM\r", 3), Fed::Kept);
    EXPECT_FALSE(messages.AnyWaiting());
    EXPECT_FALSE(messages.Admit(kClient + 1));
    messages.Forget(kClient);
    EXPECT_TRUE(messages.Admit(kClient + 1));
}

// Feeds the client's text in reads of at most 10000 bytes, as the server hands them over.
Fed FeedInReads(ClientMessages& messages, const std::string& text) {
    Fed fed = Fed::Kept;
    for (std::size_t at = 0; at < text.size() && fed == Fed::Kept; at += 10000) {
        const std::string chunk = text.substr(at, 10000);
        fed = messages.Feed(kClient, chunk.data(), chunk.size());
    }
    return fed;
}

TEST(ClientMessages, TextUpToTheCapIsKeptAndBeyondItTheClientIsEnded) {
    const std::string longest(ClientMessages::kMaxClientText, 'x');
    {
        ClientMessages messages;
        ASSERT_TRUE(messages.Admit(kClient));
        EXPECT_EQ(FeedInReads(messages, longest + "\r"), Fed::Kept);
        EXPECT_EQ(TakeAll(messages), std::vector<std::string>{longest});
    }
    ClientMessages messages;
    ASSERT_TRUE(messages.Admit(kClient));
    ASSERT_EQ(messages.Feed(kClient, "E\r", 2), Fed::Kept);
    // The carriage return comes one byte too late.
    EXPECT_EQ(FeedInReads(messages, longest + "x\r"), Fed::TextTooLong);
    EXPECT_FALSE(messages.AnyWaiting());
    EXPECT_EQ(messages.Feed(kClient, "V\r", 2), Fed::Kept);
    EXPECT_FALSE(messages.AnyWaiting());

    // The server reports the connection closed; the next client starts afresh.
    messages.Forget(kClient);
    ASSERT_TRUE(messages.Admit(kClient + 1));
    ASSERT_EQ(messages.Feed(kClient + 1, "V\r", 2), Fed::Kept);
    EXPECT_EQ(TakeAll(messages), std::vector<std::string>{"V"});
}

TEST(ClientMessages, CapCountsOnlyTheUnfinishedText) {
    ClientMessages messages;
    ASSERT_TRUE(messages.Admit(kClient));
    const std::string twoMessages = std::string(4999, 'y') + "\r" + std::string(4999, 'y') + "\r";
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(messages.Feed(kClient, twoMessages.data(), twoMessages.size()), Fed::Kept);
        EXPECT_EQ(TakeAll(messages).size(), 2u);
    }
}

struct WaitingCase {
    const char* name;
    std::string message;  // with its carriage return
    std::size_t fits;     // how many may wait
};

void PrintTo(const WaitingCase& c, std::ostream* os) {
    *os << c.name;
}

class WaitingBound : public ::testing::TestWithParam<WaitingCase> {};

TEST_P(WaitingBound, OneMessageMoreThanFitsEndsTheClient) {
    const WaitingCase& c = GetParam();
    ClientMessages messages;
    ASSERT_TRUE(messages.Admit(kClient));
    for (std::size_t i = 0; i < c.fits; ++i)
        ASSERT_EQ(messages.Feed(kClient, c.message.data(), c.message.size()), Fed::Kept) << i;
    // One taken by the worker makes room for one more.
    messages.Next();
    ASSERT_EQ(messages.Feed(kClient, c.message.data(), c.message.size()), Fed::Kept);
    EXPECT_EQ(messages.Feed(kClient, c.message.data(), c.message.size()), Fed::TooManyWaiting);
    EXPECT_FALSE(messages.AnyWaiting());
}

INSTANTIATE_TEST_SUITE_P(Bounds, WaitingBound,
                         ::testing::Values(WaitingCase{"Count", "V\r",
                                                       ClientMessages::kMaxWaitingMessages},
                                           WaitingCase{"Text", std::string(8191, 'C') + "\r",
                                                       ClientMessages::kMaxWaitingText / 8191}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
