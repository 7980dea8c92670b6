// Railmux's standard output as the operator's terminal or a log pipe gives it: closed, or never
// read. Neither may end the program or hold up the client or the station.
#include "sim/DSAir2Simulator.hpp"
#include "tests/support/ReadUntil.hpp"
#include "tests/support/StartRailmux.hpp"
#include "tests/support/TcpClient.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Control applications give up on a reply after this long.
constexpr auto kReplyTime = 2s;

class ConsoleOutput : public ::testing::Test {
protected:
    void SetUp() override {
        sim_ = std::make_unique<DSAir2Simulator>();
        std::string error;
        ASSERT_TRUE(sim_->Start(error)) << error;
        ASSERT_EQ(::pipe2(out_, O_CLOEXEC), 0);
    }
    void TearDown() override {
        if (out_[0] >= 0) ::close(out_[0]);
    }

    // Railmux on the simulator with the pipe as its standard output.
    void StartRailmux() {
        railmux_ = ::StartRailmux(
            [this](const std::string& port) {
                return std::vector<std::string>{RAILMUX_BIN, sim_->Path(), port};
            },
            out_[1]);
        ::close(out_[1]);
        ASSERT_TRUE(railmux_.serving) << railmux_.process->Stderr();
    }

    // Sends one message; its reply, and how long it took.
    std::string Ask(TcpClient& client, const std::string& message,
                    std::chrono::milliseconds* took = nullptr, int replies = 1) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(client.Send(message));
        std::string reply = client.ReadReplies(replies, 10s);
        if (took != nullptr) {
            *took = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - start);
        }
        return reply;
    }

    // Long client messages make long console lines: far more than the pipe and the console's
    // queue hold.
    void FillTheConsole(TcpClient& client) {
        const std::string message = "C" + std::string(8000, 'x') + "\r";
        for (int i = 0; i < 300; ++i)
            ASSERT_EQ(Ask(client, message), "O\r") << "message " << i;
    }

    // Reads the pipe until what came ends with suffix.
    std::string ReadConsoleUntil(const std::string& suffix) {
        return ReadUntil(out_[0], suffix, 30s);
    }

    std::unique_ptr<DSAir2Simulator> sim_;
    int out_[2] = {-1, -1};
    RailmuxRun railmux_;
};

TEST_F(ConsoleOutput, AClosedStandardOutputDoesNotEndTheProgram) {
    ::close(out_[0]);
    out_[0] = -1;
    ASSERT_NO_FATAL_FAILURE(StartRailmux());
    TcpClient client(railmux_.port);
    EXPECT_EQ(Ask(client, "E\r"), "O\r");
    EXPECT_EQ(Ask(client, "V\r"), "---\r");
    EXPECT_TRUE(sim_->State().power);
    railmux_.process->Signal(SIGTERM);
    EXPECT_EQ(railmux_.process->Wait(30s), 0) << railmux_.process->Stderr();
}

TEST_F(ConsoleOutput, AStandardOutputNobodyReadsHoldsUpNeitherTheClientNorTheStation) {
    ASSERT_NO_FATAL_FAILURE(StartRailmux());
    TcpClient client(railmux_.port);
    ASSERT_NO_FATAL_FAILURE(FillTheConsole(client));

    // Thirty seconds of power commands through the station and answers of Railmux's own.
    std::vector<std::chrono::milliseconds> times;
    bool power = false;
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < end) {
        std::chrono::milliseconds took{};
        power = !power;
        ASSERT_EQ(Ask(client, power ? "E\r" : "K\r", &took), "O\r");
        EXPECT_LT(took, kReplyTime);
        times.push_back(took);
        ASSERT_EQ(Ask(client, "V\r", &took), "---\r");
        EXPECT_LT(took, kReplyTime);
    }
    ASSERT_TRUE(sim_->WaitForCommands(times.size() + 1, 10s));
    EXPECT_EQ(sim_->Commands().size(), times.size() + 1);
    EXPECT_EQ(sim_->State().power, power);
    sim_->SetCv(1, 7);
    EXPECT_EQ(Ask(client, "R 001\r", nullptr, 2), "CV00107\rP\r");
    std::sort(times.begin(), times.end());
    std::printf("%zu station commands with the console stalled: median %lld ms, slowest %lld ms\n",
                times.size(), static_cast<long long>(times[times.size() / 2].count()),
                static_cast<long long>(times.back().count()));

    // Once the pipe drains, the count of what was dropped comes, then new lines at once.
    const std::string drained = ReadConsoleUntil(" lines dropped.\n");
    EXPECT_NE(drained.rfind("Console output blocked: "), std::string::npos)
        << drained.substr(drained.size() > 300 ? drained.size() - 300 : 0);
    EXPECT_EQ(Ask(client, "V\r"), "---\r");
    EXPECT_EQ(ReadConsoleUntil("[E Send] ---\n"), "[E Recv] V\n[E Send] ---\n");

    railmux_.process->Signal(SIGTERM);
    EXPECT_EQ(railmux_.process->Wait(30s), 0);
}

TEST_F(ConsoleOutput, AStopWhileNobodyReadsTheConsoleEndsTheProgram) {
    ASSERT_NO_FATAL_FAILURE(StartRailmux());
    TcpClient client(railmux_.port);
    ASSERT_NO_FATAL_FAILURE(FillTheConsole(client));
    railmux_.process->Signal(SIGTERM);
    EXPECT_EQ(railmux_.process->Wait(30s), 0);
}

}  // namespace
