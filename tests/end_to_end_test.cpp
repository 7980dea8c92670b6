// The whole program as a user runs it: build/railmux as a process against the simulator on a
// pseudo-terminal, and a real TCP client on loopback.
#include "sim/DSAir2Simulator.hpp"
#include "tests/support/ChildProcess.hpp"
#include "tests/support/StartRailmux.hpp"
#include "tests/support/TcpClient.hpp"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

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
