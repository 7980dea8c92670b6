// Faults from both sides, each ending with Railmux alive, the next client served, and nothing
// sent to the station that the client did not ask for.
#include "sim/DSAir2Simulator.hpp"
#include "tests/support/ChildProcess.hpp"
#include "tests/support/StartRailmux.hpp"
#include "tests/support/TcpClient.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

class FaultInjection : public ::testing::Test {
protected:
    void SetUp() override {
        SimOptions options;
        options.linkPath = "/tmp/railmux-faults-" + std::to_string(::getpid());
        sim_ = std::make_unique<DSAir2Simulator>(options);
        std::string error;
        ASSERT_TRUE(sim_->Start(error)) << error;
        RailmuxRun run = StartRailmux([this](const std::string& port) {
            return std::vector<std::string>{RAILMUX_BIN, sim_->Path(), port};
        });
        railmux_ = std::move(run.process);
        port_ = run.port;
        ASSERT_TRUE(run.serving) << railmux_->Stderr();
    }

    // Whatever the station did, Railmux sent no speed for a locomotive without an entry.
    void TearDown() override {
        if (sim_) {
            EXPECT_EQ(sim_->SpeedsWithoutEntry(), 0);
        }
    }

    // Railmux still runs and a new client, coming at once, gets its answer: the last client
    // has closed its connection, and one that is already closed never stands in the way.
    void ExpectServing() {
        ASSERT_EQ(railmux_->Wait(0ms), -1) << "Railmux ended\n" << railmux_->Stderr();
        TcpClient client(port_);
        ASSERT_TRUE(client.Connected());
        ASSERT_TRUE(client.Send("V\r"));
        EXPECT_EQ(client.ReadReplies(1, 30s), "---\r") << railmux_->Stdout();
    }

    // The commands after the handshake's ping.
    std::vector<std::string> CommandsAfterPing() const {
        auto all = sim_->Commands();
        EXPECT_FALSE(all.empty());
        if (!all.empty()) all.erase(all.begin());
        return all;
    }

    std::unique_ptr<DSAir2Simulator> sim_;
    std::unique_ptr<ChildProcess> railmux_;
    std::uint16_t port_ = 0;
};

TEST_F(FaultInjection, AMegabyteOfRandomBytesFromTheStation) {
    std::mt19937 random(12345);
    std::string noise(1 << 20, '\0');
    for (char& c : noise)
        c = static_cast<char>(random());
    sim_->SendRaw(noise);
    sim_->SendRaw("\n");
    TcpClient client(port_);
    ASSERT_TRUE(client.Send("E\r"));
    EXPECT_EQ(client.ReadReplies(1, 30s), "O\r");
    EXPECT_TRUE(sim_->State().power);
    EXPECT_EQ(CommandsAfterPing(), std::vector<std::string>{"setPower(1)"});
    client.Close();
    ExpectServing();
}

TEST_F(FaultInjection, AStaleOkAfterATimeOutDoesNotAnswerTheNextCommand) {
    sim_->SetStatusFor("getLocoConfig", 0);
    TcpClient client(port_);
    // The CV read times out (15 s) and is answered "--".
    ASSERT_TRUE(client.Send("R 001\r"));
    EXPECT_EQ(client.ReadReplies(1, 30s), "--\r");
    // Its answer arrives late, before the next read is written.
    sim_->SendRaw("@CV,49152,1,3,\r\n200 Ok\r\n");
    ASSERT_TRUE(railmux_->WaitForStdout("[D Recv] @CV,49152,1,3,\r\n[D Recv] 200 Ok", 10s))
        << railmux_->Stdout();
    sim_->SetStatusFor("getLocoConfig", 200);
    sim_->SetCv(1, 7);
    ASSERT_TRUE(client.Send("R 001\r"));
    EXPECT_EQ(client.ReadReplies(2, 30s), "CV00107\rP\r");
}

TEST_F(FaultInjection, FiveHundredClientsThatConnectAndResetAtOnce) {
    std::vector<std::unique_ptr<TcpClient>> clients;
    for (int i = 0; i < 500; ++i) {
        clients.push_back(std::make_unique<TcpClient>(port_, 5s));
    }
    for (auto& c : clients)
        c->Reset();
    clients.clear();
    ExpectServing();
}

TEST_F(FaultInjection, AClientFloodingTenMebibytesWithoutACarriageReturn) {
    {
        TcpClient flood(port_);
        const std::string chunk(64 * 1024, 'Q');
        for (int i = 0; i < 160; ++i) {
            if (!flood.Send(chunk)) break;  // dropped on the way, as it should be
        }
        EXPECT_TRUE(flood.WaitForClose(30s));
    }
    ExpectServing();
    EXPECT_EQ(CommandsAfterPing(), std::vector<std::string>{});
}

TEST_F(FaultInjection, AClientThatLeavesWhileItsCommandWaits) {
    sim_->SetReplyDelay(1s);
    {
        TcpClient client(port_);
        ASSERT_TRUE(client.Send("E\r"));
        ASSERT_TRUE(sim_->WaitForCommands(2, 10s));
    }
    sim_->SetReplyDelay(0ms);
    ExpectServing();
    EXPECT_EQ(CommandsAfterPing(), std::vector<std::string>{"setPower(1)"});
}

TEST_F(FaultInjection, TerminationDuringACvWaitStopsCleanly) {
    sim_->SetStatusFor("getLocoConfig", 0);
    TcpClient client(port_);
    ASSERT_TRUE(client.Send("R 001\r"));
    ASSERT_TRUE(sim_->WaitForCommands(2, 10s));
    const auto start = std::chrono::steady_clock::now();
    railmux_->Signal(SIGTERM);
    EXPECT_EQ(railmux_->Wait(60s), 0);
    // The stop does not wait for the station (the wait would last 15 s).
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

TEST_F(FaultInjection, TerminationWithManyMessagesWaitingInOneReadStopsAfterTheFirst) {
    sim_->SetStatusFor("setPower", 0);  // each one would wait its 1.5 s
    TcpClient client(port_);
    std::string messages;
    for (int i = 0; i < 20; ++i)
        messages += "E\r";
    ASSERT_TRUE(client.Send(messages));
    ASSERT_TRUE(sim_->WaitForCommands(2, 10s));
    const auto start = std::chrono::steady_clock::now();
    railmux_->Signal(SIGTERM);
    EXPECT_EQ(railmux_->Wait(120s), 0);
    // Neither the waiting command nor the ones after it hold the stop up.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_EQ(CommandsAfterPing(), std::vector<std::string>{"setPower(1)"});
}

}  // namespace
