// The program's command line, run as a user runs it.
#include "sim/DSAir2Simulator.hpp"
#include "tests/support/ChildProcess.hpp"
#include "tests/support/FailingServedHandler.hpp"
#include "tests/support/StartRailmux.hpp"
#include "tests/support/TcpClient.hpp"

#include <gtest/gtest.h>
#include <signal.h>

#include <dirent.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

const std::string kUsage =
    "Usage : Railmux ComPort [TCPPort]\nExample: Railmux COM1 11009\n[tcpport] range is "
    "1024-65535.\nIf [tcpport] not specified, defaults to 11009.\n";

struct Outcome {
    int code;
    std::string out, err;
};

Outcome RunToEnd(std::vector<std::string> args) {
    args.insert(args.begin(), RAILMUX_BIN);
    ChildProcess child(args);
    int code = child.Wait(30s);
    return {code, child.Stdout(), child.Stderr()};
}

TEST(CliTest, UsageAndInformationExitZero) {
    Outcome usage = RunToEnd({});
    EXPECT_EQ(usage.code, 0);
    EXPECT_EQ(usage.out, kUsage);
    EXPECT_EQ(usage.err, "");

    // The usage, then the options; wherever the option stands.
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"-h"}, {"--help"}, {"/nonexistent/station", "--help"}, {"com1", "12000", "-h"}}) {
        Outcome help = RunToEnd(args);
        EXPECT_EQ(help.code, 0) << args[0];
        EXPECT_EQ(help.out.rfind(kUsage, 0), 0u) << help.out;
        for (const char* option : {"\n  --listen ADDRESS ", "\n  --version ", "man railmux"})
            EXPECT_NE(help.out.find(option, kUsage.size()), std::string::npos) << option;
        EXPECT_EQ(help.err, "");
    }

    Outcome v = RunToEnd({"--version"});
    EXPECT_EQ(v.code, 0);
    EXPECT_EQ(v.out, std::string("railmux ") + RAILMUX_VERSION_TEXT + "\n");
}

class BadUsageTest : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(BadUsageTest, ShowsTheUsageOnStandardErrorWithExitCodeTwo) {
    Outcome r = RunToEnd(GetParam());
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, kUsage);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadUsageTest,
    ::testing::Values(std::vector<std::string>{"--foo"},
                      std::vector<std::string>{"/nonexistent/station", "11009", "--foo"},
                      std::vector<std::string>{"--", "/nonexistent/station"},
                      std::vector<std::string>{"-x"}, std::vector<std::string>{"-5", "11009"},
                      std::vector<std::string>{"/nonexistent/station", "--listen"},
                      std::vector<std::string>{"--listen", "127.0.0.1"}));

TEST(CliTest, AListenAddressThatIsNoAddressIsRefusedBeforeTheStationIsTouched) {
    Outcome r = RunToEnd({"/nonexistent/station", "--listen", "example.org"});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "Invalid listen address : example.org. Use an IPv4 or IPv6 address, or "
              "localhost.\n");
}

class ListenOptionTest : public ::testing::TestWithParam<bool> {};

TEST_P(ListenOptionTest, TakesClientsOnlyOnTheGivenAddressBeforeOrAfterTheArguments) {
    const bool first = GetParam();
    RailmuxRun run = StartRailmux([first](const std::string& port) {
        std::vector<std::string> args{RAILMUX_BIN, "/nonexistent/station", port};
        args.insert(first ? args.begin() + 1 : args.end(), {"--listen", "127.0.0.1"});
        return args;
    });
    ASSERT_TRUE(run.serving) << run.process->Stderr();
    EXPECT_TRUE(CanConnect("127.0.0.1", run.port));
    // As much this machine as 127.0.0.1, but not the address given.
    EXPECT_FALSE(CanConnect("127.0.0.2", run.port));
    run.process->Signal(SIGTERM);
    EXPECT_EQ(run.process->Wait(30s), 0);
}

INSTANTIATE_TEST_SUITE_P(Positions, ListenOptionTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Before" : "After";
                         });

struct BadPort {
    const char* arg;
    const char* shown;
};

class InvalidPortTest : public ::testing::TestWithParam<BadPort> {};

TEST_P(InvalidPortTest, IsRefusedWithExitCodeOneBeforeTheStationIsTouched) {
    // A COM port that would make the program wait or fail differently if it were opened.
    Outcome r = RunToEnd({"/nonexistent/station", GetParam().arg, "ignored"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              std::string("Invalid port number : ") + GetParam().shown + ". Use 1024-65535.\n");
}

INSTANTIATE_TEST_SUITE_P(Cases, InvalidPortTest,
                         ::testing::Values(BadPort{"1023", "1023"}, BadPort{"65536", "65536"},
                                           BadPort{"abc", "0"}, BadPort{"-11009", "-11009"},
                                           BadPort{"-5", "-5"},
                                           BadPort{"99999999999", "2147483647"}));

TEST(CliTest, MissingStationIsReportedWithItsReasonAndTheServerStillRuns) {
    RailmuxRun run = StartRailmux([](const std::string& port) {
        // An option first: the reason still names the device, not the option.
        return std::vector<std::string>{RAILMUX_BIN, "--listen", "127.0.0.1",
                                        "/dev/no-such-station", port + "abc"};
    });
    ASSERT_TRUE(run.serving) << run.process->Stderr();
    ChildProcess& child = *run.process;
    ASSERT_TRUE(
        child.WaitForStdout("TCP server started on port " + std::to_string(run.port) + "\n", 30s))
        << child.Stdout();
    // Standard error travels through its own pipe: wait for it rather than assume it is in.
    EXPECT_TRUE(child.WaitForStderr("No such file or directory", 10s)) << child.Stderr();
    const std::string err = child.Stderr();
    // The failure line keeps the upper-cased name; the reason names the path as typed.
    EXPECT_EQ(err.rfind("Failed to connect to DSAir2 on /DEV/NO-SUCH-STATION.\n", 0), 0u) << err;
    EXPECT_NE(err.find("  Could not open /dev/no-such-station: No such file or directory."),
              std::string::npos)
        << err;
    child.Signal(SIGINT);
    EXPECT_EQ(child.Wait(30s), 0);
}

// A stop while Railmux waits for the station's ready notice at start-up (up to 5 s) ends it at
// once, as cleanly as a stop later on.
TEST(CliTest, TerminationDuringTheStartUpHandshakeEndsItCleanly) {
    SimOptions options;
    options.sendReady = false;
    DSAir2Simulator sim(options);
    std::string error;
    ASSERT_TRUE(sim.Start(error)) << error;
    ChildProcess railmux({RAILMUX_BIN, sim.Path(), std::to_string(FreeTcpPort())});
    // The port is open: the handshake waits.
    const auto opened = std::chrono::steady_clock::now() + 30s;
    while (sim.OpenCount() == 0 && std::chrono::steady_clock::now() < opened)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(sim.OpenCount(), 1);
    const auto start = std::chrono::steady_clock::now();
    railmux.Signal(SIGTERM);
    EXPECT_EQ(railmux.Wait(30s), 0);
    // The handshake alone would have waited 5 s for the notice.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
    EXPECT_EQ(railmux.Stdout().find("TCP server started"), std::string::npos);
}

// Regression: a second Railmux on the same device opened it too, took the station's replies
// and made the first one's commands time out.
TEST(CliTest, SecondRailmuxOnTheSameDeviceNamesTheFirstAndLeavesItsStationAlone) {
    DSAir2Simulator sim;
    std::string error;
    ASSERT_TRUE(sim.Start(error)) << error;
    const int firstPort = FreeTcpPort();
    ChildProcess first({RAILMUX_BIN, sim.Path(), std::to_string(firstPort)});
    ASSERT_TRUE(first.WaitForStdout("TCP server started on port", 30s)) << first.Stderr();
    ASSERT_EQ(first.Stderr(), "");

    const int secondPort = FreeTcpPort();
    ChildProcess second({RAILMUX_BIN, sim.Path(), std::to_string(secondPort)});
    ASSERT_TRUE(second.WaitForStdout("TCP server started on port", 30s)) << second.Stderr();
    EXPECT_TRUE(second.WaitForStderr(" is in use by railmux (pid " + std::to_string(first.Pid()) +
                                         "); one program at a time can use the station",
                                     10s))
        << second.Stderr();

    // The station was not reset by the second one and still answers the first.
    TcpClient client(static_cast<std::uint16_t>(firstPort));
    ASSERT_TRUE(client.Connected());
    ASSERT_TRUE(client.Send("E\r"));
    EXPECT_EQ(client.ReadReplies(1), "O\r");
    ASSERT_TRUE(first.WaitForStdout("[E Send] O\n", 10s)) << first.Stdout();
    const std::string out = first.Stdout();
    const std::size_t sent = out.find("[D Send] setPower(1)\n");
    ASSERT_NE(sent, std::string::npos) << out;
    EXPECT_NE(out.find("[D Recv] 200 Ok", sent), std::string::npos) << out;
    EXPECT_TRUE(sim.State().power);
    EXPECT_EQ(sim.OpenCount(), 1);

    second.Signal(SIGINT);
    EXPECT_EQ(second.Wait(30s), 0);
    first.Signal(SIGINT);
    EXPECT_EQ(first.Wait(30s), 0);
}

TEST(CliTest, TerminationSignalStopsWithExitCodeZero) {
    RailmuxRun run = StartRailmux([](const std::string& port) {
        return std::vector<std::string>{RAILMUX_BIN, "com9", port};
    });
    ASSERT_TRUE(run.serving) << run.process->Stderr();
    ChildProcess& child = *run.process;
    EXPECT_TRUE(child.WaitForStderr("Failed to connect to DSAir2 on COM9.\n", 10s))
        << child.Stderr();
    child.Signal(SIGTERM);
    EXPECT_EQ(child.Wait(30s), 0);
}

// A server thread that ends by itself leaves nobody to serve the network: Railmux ends too, with
// the exit code of its own that a service manager restarts it for. The test build of the
// program lets a client make the server thread fail, as any exception from a handler call does.
TEST(CliTest, AServerThreadThatEndsByItselfEndsTheProgramWithExitCodeFour) {
    RailmuxRun run = StartRailmux([](const std::string& port) {
        return std::vector<std::string>{FAILING_SERVER_BIN, "/nonexistent/station", port};
    });
    ASSERT_TRUE(run.serving) << run.process->Stderr();
    ChildProcess& child = *run.process;
    TcpClient client(run.port);
    ASSERT_TRUE(client.Connected());
    ASSERT_TRUE(client.Send("V\r"));
    EXPECT_EQ(client.ReadReplies(1), "---\r");
    const auto failed = std::chrono::steady_clock::now();
    ASSERT_TRUE(client.Send(kFailServerThread));
    EXPECT_EQ(child.Wait(30s), 4);
    std::printf("ended %lld ms after the server thread was made to fail\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now() - failed)
                                           .count()));
    EXPECT_NE(child.Stderr().find("TCP server thread ended: failed on request\n"),
              std::string::npos)
        << child.Stderr();
}

// The signal mask of each of the process's threads other than the main one, from /proc.
std::vector<unsigned long long> WorkerSignalMasks(pid_t pid) {
    std::vector<unsigned long long> masks;
    const std::string mainTid = std::to_string(pid);
    const std::string dir = "/proc/" + mainTid + "/task";
    DIR* tasks = ::opendir(dir.c_str());
    if (tasks == nullptr) return masks;
    while (const dirent* entry = ::readdir(tasks)) {
        const std::string tid = entry->d_name;
        if (tid == "." || tid == ".." || tid == mainTid) continue;
        std::ifstream status(dir + "/" + tid + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("SigBlk:", 0) == 0)
                masks.push_back(std::stoull(line.substr(7), nullptr, 16));
        }
    }
    ::closedir(tasks);
    return masks;
}

TEST(CliTest, OnlyTheMainThreadTakesTheStopSignals) {
    // A stop signal the kernel hands to the serial or the server thread must not be lost or
    // late there: those threads leave them to the main thread, which polls the stop flag.
    DSAir2Simulator sim;
    std::string error;
    ASSERT_TRUE(sim.Start(error)) << error;
    RailmuxRun run = StartRailmux([&sim](const std::string& port) {
        return std::vector<std::string>{RAILMUX_BIN, sim.Path(), port};
    });
    ASSERT_TRUE(run.serving) << run.process->Stderr();
    ChildProcess& child = *run.process;
    const std::vector<unsigned long long> masks = WorkerSignalMasks(child.Pid());
    EXPECT_GE(masks.size(), 3u) << "the serial, the server and the console thread";
    const unsigned long long stop = (1ULL << (SIGINT - 1)) | (1ULL << (SIGTERM - 1));
    for (unsigned long long mask : masks)
        EXPECT_EQ(mask & stop, stop) << std::hex << mask;
    child.Signal(SIGTERM);
    EXPECT_EQ(child.Wait(30s), 0);
}

TEST(CliTest, DeviceWithoutReadyNoticeIsReportedAsSuch) {
    SimOptions options;
    options.sendReady = false;
    DSAir2Simulator sim(options);
    std::string error;
    ASSERT_TRUE(sim.Start(error)) << error;
    RailmuxRun run = StartRailmux([&sim](const std::string& port) {
        return std::vector<std::string>{RAILMUX_BIN, sim.Path(), port};
    });
    ASSERT_TRUE(run.serving) << run.process->Stderr();
    ChildProcess& child = *run.process;
    EXPECT_TRUE(child.WaitForStderr(
        "opened, but the station sent no ready notice within 5 seconds: is the station "
        "switched on, and is this its device",
        10s))
        << child.Stderr();
    child.Signal(SIGINT);
    EXPECT_EQ(child.Wait(30s), 0);
}

TEST(CliTest, DemoDriveSessionRunsToItsEnd) {
    const std::string bin = RAILMUX_BIN;
    ::setenv("BUILD", bin.substr(0, bin.rfind('/')).c_str(), 1);
    // The port was free a moment ago; should another program take it first, Railmux says
    // "error code 98" and the demo runs again on another.
    std::unique_ptr<ChildProcess> demo;
    for (int attempt = 0; attempt < 5; ++attempt) {
        ::setenv("PORT", std::to_string(FreeTcpPort()).c_str(), 1);
        demo = std::make_unique<ChildProcess>(
            std::vector<std::string>{std::string(SOURCE_DIR) + "/tools/demo", "--drive"});
        if (demo->Wait(120s) == 0 ||
            (demo->Stdout() + demo->Stderr()).find("error code 98.") == std::string::npos) {
            break;
        }
    }
    EXPECT_EQ(demo->Wait(0s), 0) << demo->Stdout() << demo->Stderr();
    const std::string out = demo->Stdout();
    EXPECT_NE(out.find("Session complete: every reply as expected."), std::string::npos) << out;
    EXPECT_NE(out.find("station now"), std::string::npos) << out;
    EXPECT_NE(out.find("Railmux exited with code 0"), std::string::npos) << out;
}

}  // namespace
