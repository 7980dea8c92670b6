// The whole program as a user runs it: build/railmux as a process against the simulator on a
// pseudo-terminal, and a real TCP client on loopback.
#include "sim/DSAir2Simulator.hpp"
#include "tests/support/ChildProcess.hpp"
#include "tests/support/RailmuxOnSim.hpp"
#include "tests/support/StartRailmux.hpp"
#include "tests/support/TcpClient.hpp"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        SimOptions options;
        options.linkPath = "/tmp/railmux-e2e-" + std::to_string(::getpid());
        sim_ = std::make_unique<DSAir2Simulator>(options);
        std::string error;
        ASSERT_TRUE(sim_->Start(error)) << error;
    }

    // Starts Railmux on the simulator and waits until it serves.
    void StartRailmux() {
        RailmuxRun run = ::StartRailmux([this](const std::string& port) {
            return std::vector<std::string>{RAILMUX_BIN, sim_->Path(), port};
        });
        railmux_ = std::move(run.process);
        port_ = run.port;
        ASSERT_TRUE(run.serving) << railmux_->Stdout() << railmux_->Stderr();
        ASSERT_TRUE(railmux_->WaitForStdout(
            "TCP server started on port " + std::to_string(port_) + "\n", 30s));
        ASSERT_EQ(railmux_->Stderr(), "");
    }

    // Everything Railmux printed since the handshake.
    std::string Console() const { return railmux_->Stdout(); }

    // Sends one message and returns the reply text up to its carriage return(s).
    std::string Ask(TcpClient& client, const std::string& message, int replies = 1) {
        EXPECT_TRUE(client.Send(message));
        return client.ReadReplies(replies, 30s);
    }

    std::unique_ptr<DSAir2Simulator> sim_;
    std::unique_ptr<ChildProcess> railmux_;
    std::uint16_t port_ = 0;
};

TEST_F(EndToEnd, PowerOnTravelsTheWholeRoadAndTheConsoleShowsItInOrder) {
    ASSERT_NO_FATAL_FAILURE(StartRailmux());
    ASSERT_EQ(sim_->Commands().at(0), "setPing()");
    TcpClient client(port_);
    ASSERT_TRUE(client.Connected());
    EXPECT_EQ(Ask(client, "E\r"), "O\r");
    EXPECT_TRUE(sim_->State().power);

    // The console travels through its own pipe and may trail the reply on the socket.
    ASSERT_TRUE(railmux_->WaitForStdout("[E Send] O\n", 10s)) << Console();
    const std::string console = Console();
    const char* ordered[] = {"TCP connection accepted from [127.0.0.1], ID: ", "[E Recv] E\n",
                             "[D Send] setPower(1)\n", "[D Recv] 200 Ok", "[E Send] O\n"};
    std::size_t at = 0;
    for (const char* line : ordered) {
        at = console.find(line, at);
        ASSERT_NE(at, std::string::npos) << "missing or out of order: " << line << "\n" << console;
    }
}

TEST_F(EndToEnd, QueuedPacketDrivesTheLocomotive) {
    ASSERT_NO_FATAL_FAILURE(StartRailmux());
    TcpClient client(port_);
    // Short address 3, 128 steps, step 5 reverse.
    EXPECT_EQ(Ask(client, "Q 03 3F 05 39\r"), "O\r");
    ASSERT_TRUE(sim_->WaitForCommands(3, 10s));
    // The rails carry the client's packet.
    EXPECT_EQ(sim_->State().rails, "03 3F 05");
}

TEST_F(EndToEnd, OneClientAtATime) {
    ASSERT_NO_FATAL_FAILURE(StartRailmux());
    TcpClient first(port_);
    EXPECT_EQ(Ask(first, "V\r"), "---\r");

    TcpClient second(port_);
    ASSERT_TRUE(second.Connected());
    std::string leaked;
    EXPECT_TRUE(second.WaitForClose(10s, &leaked));
    EXPECT_EQ(leaked, "");
    EXPECT_TRUE(
        railmux_->WaitForStdout("Already connected. Denied connection from [127.0.0.1].\n", 10s));
    EXPECT_EQ(Ask(first, "C\r"), "O\r");

    // The next client may come at once: the first one's end is already in its socket.
    first.Close();
    TcpClient third(port_);
    EXPECT_EQ(Ask(third, "M\r"), "P\r");
    // The console may trail the reply; its last line for now is that reply's.
    ASSERT_TRUE(railmux_->WaitForStdout("[E Send] P\n", 10s)) << Console();
    // The denied client never had a disconnect line of its own.
    const std::string console = Console();
    std::size_t count = 0;
    for (std::size_t at = 0; (at = console.find("Client disconnected", at)) != std::string::npos;
         ++at) {
        ++count;
    }
    EXPECT_EQ(count, 1u) << console;
}

TEST_F(EndToEnd, ControlBytesFromClientAndStationAreShownNotObeyed) {
    ASSERT_NO_FATAL_FAILURE(StartRailmux());
    TcpClient client(port_);
    EXPECT_EQ(Ask(client, "V\x1b[2J\x07\r"), "---\r");
    EXPECT_TRUE(railmux_->WaitForStdout("[E Recv] V\\x1B[2J\\x07\n", 10s)) << Console();
    sim_->SendRaw("\x1b]0;owned\x07 caf\xc3\xa9\r\n");
    EXPECT_TRUE(railmux_->WaitForStdout("[D Recv] \\x1B]0;owned\\x07 caf\\xC3\\xA9\r\n", 10s))
        << Console();

    // A carriage return inside a line would send the terminal's cursor back over it: only the
    // one that ends a station's line is shown as it is.
    sim_->SendRaw("[D Recv] 200 Ok\rfaked\r\n");
    EXPECT_TRUE(railmux_->WaitForStdout("[D Recv] [D Recv] 200 Ok\\x0Dfaked\r\n", 10s))
        << Console();
    sim_->SetCv(3, 0x2A);
    EXPECT_EQ(Ask(client, "R 003\r", 2), "CV0032A\rP\r");
    EXPECT_TRUE(railmux_->WaitForStdout("[E Send] CV0032A\\x0DP\n", 10s)) << Console();
    EXPECT_EQ(Console().find('\x1b'), std::string::npos);
}

TEST_F(EndToEnd, FramingOfClientBytes) {
    ASSERT_NO_FATAL_FAILURE(StartRailmux());
    TcpClient client(port_);

    // Split across reads.
    ASSERT_TRUE(client.Send("V"));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(Ask(client, "\r"), "---\r");

    // Several messages in one write are each carried out, in order.
    EXPECT_EQ(Ask(client, "E\rK\rV\r", 3), "O\rO\r---\r");
    ASSERT_TRUE(sim_->WaitForCommands(3, 10s));
    EXPECT_EQ(sim_->Commands().at(1), "setPower(1)");
    EXPECT_EQ(sim_->Commands().at(2), "setPower(0)");
    EXPECT_FALSE(sim_->State().power);

    // CR LF line ends.
    EXPECT_EQ(Ask(client, "V\r\nM\r\n", 2), "---\rP\r");

    // One message longer than a read.
    EXPECT_EQ(Ask(client, "C" + std::string(12000, 'x') + "\r"), "O\r");
    EXPECT_EQ(Ask(client, "V\r"), "---\r");
}

TEST_F(EndToEnd, AClientThatNeverEndsItsMessageIsDroppedAndTheNextIsServed) {
    ASSERT_NO_FATAL_FAILURE(StartRailmux());
    {
        TcpClient flood(port_);
        flood.Send(std::string(70 * 1024, 'A'));
        EXPECT_TRUE(flood.WaitForClose(30s));
    }
    TcpClient next(port_);
    EXPECT_EQ(Ask(next, "V\r"), "---\r");
}

TEST_F(EndToEnd, SilentStationIsGivenUpAfterTwoTimeOutsAndReopened) {
    ASSERT_NO_FATAL_FAILURE(StartRailmux());
    sim_->SetStatusFor("setPower", 0);
    sim_->SetStatusFor("setPing", 0);
    TcpClient client(port_);
    // Each reply within the application's 2 s, the first after the 1.5 s wait.
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Ask(client, "E\r"), "O\r");
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1400ms);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(Ask(client, "K\r"), "O\r");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    ASSERT_TRUE(railmux_->WaitForStdout(
        "Lost connection to DSAir2 on " + sim_->Path() + ": no answer to 2 commands in a row\n",
        10s))
        << Console();

    // Reopened until it answers again (each attempt resets the station); then commands go
    // through.
    sim_->SetStatusFor("setPower", -1);
    sim_->SetStatusFor("setPing", -1);
    ASSERT_TRUE(railmux_->WaitForStdout("Reconnected to DSAir2 on " + sim_->Path() + "\n", 30s))
        << Console();
    EXPECT_EQ(Ask(client, "E\r"), "O\r");
    EXPECT_TRUE(sim_->State().power);
    // K's setPower(0) never went out: its ping found the station gone.
    std::vector<std::string> commands = sim_->Commands();
    ASSERT_GE(commands.size(), 5u);
    EXPECT_EQ(std::vector<std::string>(commands.begin(), commands.begin() + 2),
              (std::vector<std::string>{"setPing()", "setPower(1)"}));
    EXPECT_EQ(commands.back(), "setPower(1)");
    for (std::size_t i = 2; i + 1 < commands.size(); ++i)
        EXPECT_EQ(commands[i], "setPing()") << i;
}

TEST_F(EndToEnd, StopWithAClientConnectedExitsZeroAndClosesIt) {
    ASSERT_NO_FATAL_FAILURE(StartRailmux());
    TcpClient client(port_);
    EXPECT_EQ(Ask(client, "V\r"), "---\r");
    railmux_->Signal(SIGINT);
    EXPECT_EQ(railmux_->Wait(30s), 0);
    EXPECT_TRUE(client.WaitForClose(10s));
    EXPECT_EQ(Console().find("Client disconnected"), std::string::npos);
}

TEST_F(EndToEnd, PortHeldByAnotherSocketExitsWithCodeThree) {
    // Listen on the wildcard address as Railmux would, so the bind conflicts.
    int holder = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(holder, 1), 0);
    ::getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length);
    const int port = ntohs(address.sin_port);

    ChildProcess railmux({RAILMUX_BIN, sim_->Path(), std::to_string(port)});
    EXPECT_EQ(railmux.Wait(30s), 3);
    EXPECT_EQ(railmux.Stderr(),
              "Failed to start TCP server on port " + std::to_string(port) + ", error code 98.\n");
    EXPECT_EQ(railmux.Stdout().find("TCP server started"), std::string::npos);
    ::close(holder);
}

// Railmux on a station that takes its time over every answer, and a client that does not wait
// for one reply before it sends the next message.
using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

class SlowStation : public ::testing::Test {
protected:
    void Start(SimOptions options) {
        railmux_ = std::make_unique<RailmuxOnSim>(std::move(options));
        std::string error;
        ASSERT_TRUE(railmux_->Start(error)) << error;
    }

    DSAir2Simulator& Sim() { return railmux_->Sim(); }

    // How many of the station's commands so far were exactly this one.
    std::size_t Count(const std::string& command) {
        const std::vector<std::string> all = Sim().Commands();
        return static_cast<std::size_t>(std::count(all.begin(), all.end(), command));
    }

    // Waits until the station has received the command once; false after the time-out.
    bool WaitForCommand(const std::string& command, std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        for (std::size_t seen = Sim().Commands().size(); Count(command) == 0; ++seen) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0 || !Sim().WaitForCommands(seen + 1, left)) return false;
        }
        return true;
    }

    std::unique_ptr<RailmuxOnSim> railmux_;
};

TEST_F(SlowStation, PipelinedMessagesAreEachAnsweredWhenTheirOwnWorkIsDone) {
    constexpr auto kStationTakes = 1200ms;
    SimOptions options;
    options.replyDelay = kStationTakes;
    ASSERT_NO_FATAL_FAILURE(Start(options));
    const std::size_t handshake = Sim().Commands().size();
    TcpClient client(railmux_->Port());
    ASSERT_TRUE(client.Connected());

    // When each of the three station commands reached the station.
    std::vector<Clock::time_point> arrived(3, Clock::time_point::max());
    std::thread watcher([&] {
        for (std::size_t k = 0; k < arrived.size(); ++k) {
            if (!Sim().WaitForCommands(handshake + k + 1, 60s)) return;
            arrived[k] = Clock::now();
        }
    });
    const auto sent = Clock::now();
    ASSERT_TRUE(client.Send("E\rK\rE\r"));
    std::string received;
    std::vector<Clock::time_point> replied;
    while (replied.size() < 3) {
        const std::string chunk = client.ReadReplies(1, 60s);
        if (chunk.empty()) break;
        received += chunk;
        replied.insert(replied.end(), std::count(chunk.begin(), chunk.end(), '\r'), Clock::now());
    }
    watcher.join();
    ASSERT_EQ(received, "O\rO\rO\r");
    ASSERT_EQ(replied.size(), 3u);
    std::printf("replies after %.2f s, %.2f s, %.2f s\n", Seconds(replied[0] - sent),
                Seconds(replied[1] - sent), Seconds(replied[2] - sent));
    const std::vector<std::string> commands = Sim().Commands();
    EXPECT_EQ(std::vector<std::string>(commands.begin() + handshake, commands.end()),
              (std::vector<std::string>{"setPower(1)", "setPower(0)", "setPower(1)"}));

    // The station answers the first command after 1.2 s; the application waits 2 s for a reply.
    EXPECT_LT(Seconds(replied[0] - sent), 2.0);
    // Each reply leaves before the station could have answered the next message's command: its
    // own message was done at least the station's pause (100 ms) and 1.2 s before that.
    for (std::size_t k = 0; k + 1 < replied.size(); ++k) {
        ASSERT_NE(arrived[k + 1], Clock::time_point::max());
        EXPECT_LT(Seconds(replied[k] - sent), Seconds(arrived[k + 1] + kStationTakes - sent))
            << "reply " << k + 1;
    }
}

TEST_F(SlowStation, MessagesOfAClientThatHasGoneAreNotCarriedOutAndTheNextClientIsAnswered) {
    SimOptions options;
    options.realTimings = true;  // a CV read takes 1.6 s
    ASSERT_NO_FATAL_FAILURE(Start(options));
    Sim().SetCv(1, 3);
    Sim().SetCv(2, 0x11);
    {
        TcpClient leaving(railmux_->Port());
        ASSERT_TRUE(leaving.Connected());
        std::string reads;
        for (int i = 0; i < 10; ++i)
            reads += "R 001\r";
        ASSERT_TRUE(leaving.Send(reads));
        // The first read is under way when the client goes.
        ASSERT_TRUE(WaitForCommand("getLocoConfig(49152,1)", 30s));
    }
    const auto connected = Clock::now();
    TcpClient next(railmux_->Port());
    ASSERT_TRUE(next.Connected());
    ASSERT_TRUE(next.Send("V\r"));
    EXPECT_EQ(next.ReadReplies(1, 60s), "---\r");
    const auto answered = Clock::now() - connected;
    std::printf("the next client answered after %.2f s\n", Seconds(answered));
    // Only the read that had begun stands in its way: 1.6 s at most from the moment it reached
    // the station, which was before the first client left.
    EXPECT_LT(Seconds(answered), 2.0);

    // A read of the new client's own comes after everything asked before it.
    ASSERT_TRUE(next.Send("R 002\r"));
    EXPECT_EQ(next.ReadReplies(2, 60s), "CV00211\rP\r");
    std::printf("CV reads of the client that had gone: %zu\n", Count("getLocoConfig(49152,1)"));
    EXPECT_EQ(Count("getLocoConfig(49152,1)"), 1u);
    EXPECT_EQ(Count("getLocoConfig(49152,2)"), 1u);
}

// Two stations whose paths differ only in case, as two USB adapters' udev names can: the one
// typed is the one opened, and the link's lines name it as typed.
TEST(DeviceAsTyped, ThePathTypedIsOpenedAndNamedAsTyped) {
    char directory[] = "/tmp/railmux-case-XXXXXX";
    ASSERT_NE(::mkdtemp(directory), nullptr);
    struct Cleanup {
        std::string path;
        ~Cleanup() {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    } cleanup{directory};
    SimOptions typedOptions;
    typedOptions.linkPath = std::string(directory) + "/sta";
    SimOptions otherOptions;
    otherOptions.linkPath = std::string(directory) + "/STA";
    DSAir2Simulator typed(typedOptions);
    DSAir2Simulator other(otherOptions);
    std::string error;
    ASSERT_TRUE(typed.Start(error)) << error;
    ASSERT_TRUE(other.Start(error)) << error;
    const std::string path = typed.Path();

    RailmuxRun run = StartRailmux([&path](const std::string& port) {
        return std::vector<std::string>{RAILMUX_BIN, path, port};
    });
    ASSERT_TRUE(run.serving) << run.process->Stdout() << run.process->Stderr();
    ChildProcess& railmux = *run.process;
    EXPECT_EQ(railmux.Stderr(), "");
    EXPECT_EQ(typed.Commands(), std::vector<std::string>{"setPing()"});

    typed.Unplug();
    EXPECT_TRUE(railmux.WaitForStdout("Lost connection to DSAir2 on " + path + ": ", 30s))
        << railmux.Stdout();
    ASSERT_TRUE(typed.Replug(error)) << error;
    EXPECT_TRUE(railmux.WaitForStdout("Reconnected to DSAir2 on " + path + "\n", 30s))
        << railmux.Stdout();
    railmux.Signal(SIGTERM);
    EXPECT_EQ(railmux.Wait(30s), 0);
    EXPECT_EQ(other.OpenCount(), 0);
}

}  // namespace
