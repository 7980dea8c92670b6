// A client whose machine vanishes from the network (no FIN, no reset, nothing at all) must not
// hold the one client slot: Railmux runs in a private network namespace and the client is a
// peer behind a TUN interface that the test owns, which simply stops answering.
#include "tests/support/PrivateNetwork.hpp"
#include "tests/support/StartRailmux.hpp"
#include "tests/support/TcpClient.hpp"
#include "tests/support/TunPeer.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <ostream>
#include <string>

namespace {

using namespace std::chrono_literals;

struct VanishCase {
    const char* name;
    std::string lastMessage;  // sent before the peer falls silent; empty: none
    const char* lastLine;     // the console line that shows it was answered
};

void PrintTo(const VanishCase& c, std::ostream* out) {
    *out << c.name;
}

class VanishedClient : public ::testing::TestWithParam<VanishCase> {};

TEST_P(VanishedClient, FreesTheSlotWithin30Seconds) {
    const VanishCase& c = GetParam();
    PrivateNetwork network;
    if (!network.Failure().empty()) GTEST_SKIP() << network.Failure();
    TunPeer peer;
    if (!peer.Failure().empty()) GTEST_SKIP() << peer.Failure();

    RailmuxRun railmux = StartRailmux([](const std::string& port) {
        return std::vector<std::string>{RAILMUX_BIN, "/nonexistent/station", port};
    });
    ASSERT_TRUE(railmux.serving) << railmux.process->Stdout() << railmux.process->Stderr();
    ChildProcess& process = *railmux.process;

    ASSERT_TRUE(peer.Connect(railmux.port, 10s));
    ASSERT_TRUE(process.WaitForStdout(
        std::string("TCP connection accepted from [") + TunPeer::kPeerAddress + "]", 10s))
        << process.Stdout();
    if (!c.lastMessage.empty()) {
        // Its reply goes out and is never acknowledged.
        ASSERT_TRUE(peer.Send(c.lastMessage));
        ASSERT_TRUE(process.WaitForStdout(c.lastLine, 10s)) << process.Stdout();
    }
    const auto silent = std::chrono::steady_clock::now();

    ASSERT_TRUE(process.WaitForStdout("Client disconnected, ID: ", 30s)) << process.Stdout();
    const auto freed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - silent);
    std::printf("slot free %.1f s after the peer fell silent\n", freed.count() / 1000.0);

    TcpClient next(railmux.port);
    ASSERT_TRUE(next.Send("V\r"));
    EXPECT_EQ(next.ReadReplies(1, 10s), "---\r") << process.Stdout();
}

INSTANTIATE_TEST_SUITE_P(
    Peers, VanishedClient,
    ::testing::Values(VanishCase{"Idle", "", ""},
                      VanishCase{"WithAReplyOnItsWay", "V\r", "[E Send] ---\n"}),
    [](const ::testing::TestParamInfo<VanishCase>& info) { return info.param.name; });

}  // namespace
