// The link's shell: what it echoes, how long each command waits, and, on a pseudo-terminal, the
// handshake, the loss of the station, its reconnection and the stop. The rules of the answer
// matching, the framing and the reading of lines are tested on their own cores
// (reply_tracker_test, station_line_framer_test, station_line_test).
#include "station/NDSDCCImpl.hpp"

#include "base/ConsoleLog.hpp"
#include "sim/DSAir2Simulator.hpp"
#include "station/StationLineFramer.hpp"
#include "tests/support/ConsoleCapture.hpp"
#include "tests/support/OpenRawPtyPair.hpp"
#include "tests/support/StatusLineText.hpp"

#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

// Names in failure messages instead of bytes.
static void PrintTo(CommandOutcome outcome, std::ostream* out) {
    const char* const names[] = {"Done", "Refused", "Unknown", "NotSent"};
    *out << names[static_cast<int>(outcome)];
}

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::vector<std::uint8_t> Bytes(const std::string& text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

// What the station answers when all goes well: a ping with its "@DSG" line first.
std::string DeviceAnswer(const std::string& command) {
    if (command == "setPing()") return "@DSG,00,03,00,02,00,00,00,00\r\n200 Ok\r\n";
    return "200 Ok\r\n";
}

TEST(StationLink, CvCommandsWaitLongerThanOthers) {
    const struct {
        const char* command;
        std::chrono::milliseconds timeout;
    } cases[] = {
        {"setPower(1)", NDSDCC::Impl::kCommandTimeout},
        {"setPing()", NDSDCC::Impl::kCommandTimeout},
        {"setLocoSpeed(49155,1023,2)", NDSDCC::Impl::kCommandTimeout},
        {"getLocoConfig(49152,8)", NDSDCC::Impl::kConfigTimeout},
        {"setLocoConfig(49152,1,3)", NDSDCC::Impl::kConfigTimeout},
        // The first 13 characters decide, case and all.
        {"setLocoConfigX", NDSDCC::Impl::kConfigTimeout},
        {"getLocoConfi", NDSDCC::Impl::kCommandTimeout},
        {"GetLocoConfig(49152,8)", NDSDCC::Impl::kCommandTimeout},
        {"", NDSDCC::Impl::kCommandTimeout},
    };
    for (const auto& c : cases)
        EXPECT_EQ(NDSDCC::Impl::TimeoutFor(c.command), c.timeout) << c.command;
}

// Every line as it came, control bytes escaped; no more.
TEST(StationLink, EveryLineIsEchoedAsItCame) {
    ConsoleCapture console;
    NDSDCC::Impl link;
    const std::vector<std::string> chunks = {
        "Desktop Station air\r\nInit SD card...",
        "OK\r\n100 Ready\r\n",
        "200\tOk\n250\vOk\n299\fOk\r\n\n@CV,49162,8,129,\r\n2",
        "00 Ok\r\n",
        std::string(StationLineFramer::kMaxLineLength + 10, '7') + "\n",
        "unfinished",
    };
    for (const std::string& chunk : chunks)
        link.OnSerialData(Bytes(chunk));
    // The ready notice reaches a link that never connected: it is no reset of a station.
    const std::vector<std::string> expected = {
        "[D Recv] Desktop Station air\r\n",
        "[D Recv] Init SD card...OK\r\n",
        "[D Recv] 100 Ready\r\n",
        "[D Recv] 200\tOk\n",
        "[D Recv] 250\\x0BOk\n",
        "[D Recv] 299\\x0COk\r\n",
        "[D Recv] \n",
        "[D Recv] @CV,49162,8,129,\r\n",
        "[D Recv] 200 Ok\r\n",
        "[D Recv] " + std::string(StationLineFramer::kMaxLineLength, '7') + "\n",
    };
    EXPECT_EQ(console.Lines(), expected);
    EXPECT_EQ(link.StationEpoch(), 0u);
}

// ---- A station scripted by the test on a raw pseudo-terminal ------------------------------

// The test plays the station on the master side: each command line the link writes is
// recorded with its arrival time and answered with what reply() returns.
class ScriptedStation : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(OpenRawPtyPair(master, device, name));
        reader = std::thread([this] { Serve(); });
    }

    void TearDown() override {
        stop = true;
        reader.join();
        link.reset();
        ::close(master);
        ::close(device);
    }

    // The link over this line after the handshake: the ready notice waits in the line before
    // the open, the ping is answered.
    void OpenLink() {
        link = std::make_unique<NDSDCC::Impl>();
        Send("100 Ready\r\n");
        ASSERT_TRUE(link->Open(name));
    }

    void Send(const std::string& bytes) {
        std::lock_guard<std::mutex> lock(mutex);
        // Taken before the write: the link may stamp the line before write() has even returned.
        lastReplyTime = Clock::now();
        ASSERT_EQ(::write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    void SetReply(std::function<std::string(const std::string&)> next) {
        std::lock_guard<std::mutex> lock(mutex);
        reply = std::move(next);
    }
    void Answer(const std::string& always) {
        SetReply([always](const std::string&) { return always; });
    }

    struct Received {
        std::string command;
        Clock::time_point time;
    };
    std::vector<Received> Arrivals() {
        std::lock_guard<std::mutex> lock(mutex);
        return commands;
    }
    std::vector<std::string> Commands() {
        std::vector<std::string> texts;
        for (const Received& r : Arrivals())
            texts.push_back(r.command);
        return texts;
    }

    int master = -1;
    int device = -1;
    std::string name;
    std::unique_ptr<NDSDCC::Impl> link;

private:
    void Serve() {
        std::string pending;
        while (!stop) {
            pollfd poller{master, POLLIN, 0};
            if (::poll(&poller, 1, 20) <= 0) continue;
            char buffer[1024];
            ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n <= 0) continue;
            const Clock::time_point now = Clock::now();
            pending.append(buffer, static_cast<std::size_t>(n));
            std::size_t end;
            while ((end = pending.find('\n')) != std::string::npos) {
                const std::string command = pending.substr(0, end);
                pending.erase(0, end + 1);
                std::string answer;
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    commands.push_back({command, now});
                    answer = reply(command);
                }
                if (!answer.empty()) Send(answer);
            }
        }
    }

    std::thread reader;
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::function<std::string(const std::string&)> reply = DeviceAnswer;
    std::vector<Received> commands;
    Clock::time_point lastReplyTime;
};

TEST_F(ScriptedStation, HandshakePingsOneStationPauseAfterTheReadyNotice) {
    ConsoleCapture console;
    OpenLink();
    EXPECT_TRUE(link->Connected());
    EXPECT_EQ(link->LastOpenFailure(), NDSDCC::OpenFailure::None);
    EXPECT_EQ(link->LastDevicePath(), name);
    EXPECT_EQ(link->StationEpoch(), 1u);

    Clock::time_point readyEcho;
    ASSERT_TRUE(console.WaitFor("[D Recv] 100 Ready\r\n", 1s, &readyEcho));
    const std::vector<Received> commands = Arrivals();
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].command, "setPing()");
    EXPECT_GE(commands[0].time - readyEcho, 95ms);
    EXPECT_EQ(console.Lines(),
              (std::vector<std::string>{"[D Recv] 100 Ready\r\n", "[D Send] setPing()\n",
                                        "[D Recv] @DSG,00,03,00,02,00,00,00,00\r\n",
                                        "[D Recv] 200 Ok\r\n"}));
    // The handshake's own ready notice is no reset: no greeting is owed to the station.
    link->Greet();
    EXPECT_EQ(Commands().size(), 1u);
}

// What the station answers reaches the caller through the link, each answer to its command.
TEST_F(ScriptedStation, EachCommandTellsWhatBecameOfIt) {
    OpenLink();
    const struct {
        const char* answer;
        CommandOutcome outcome;
    } cases[] = {
        {"200 Ok\r\n", CommandOutcome::Done},
        {"201 Busy\r\n", CommandOutcome::Refused},
        {"300 Cmd err\r\n", CommandOutcome::Refused},
        {"301 Stx err\r\n", CommandOutcome::Unknown},
    };
    for (const auto& c : cases) {
        Answer(c.answer);
        EXPECT_EQ(link->Execute("setPower(1)"), c.outcome) << c.answer;
        EXPECT_EQ(link->SendCommand("setPower(0)"), c.outcome == CommandOutcome::Done) << c.answer;
    }
    Answer("@CV,49152,8,145,\r\n200 Ok\r\n");
    std::int32_t value = 11;
    EXPECT_EQ(link->ReadCv(8, value), CommandOutcome::Done);
    EXPECT_EQ(value, 145);
    Answer("@CV,49152,8,65535,\r\n200 Ok\r\n");
    EXPECT_EQ(link->ReadCv(8, value), CommandOutcome::Refused);
    EXPECT_EQ(value, 65535);
    EXPECT_EQ(Commands().size(), 1u + 2 * 4 + 2);
    EXPECT_EQ(Commands().back(), "getLocoConfig(49152,8)");
}

// The answer may arrive before the waiting command has begun to wait.
TEST_F(ScriptedStation, RepliesAtOnceAreNeverMissed) {
    OpenLink();
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(link->Execute("setLocoSpeed(49155," + std::to_string(i) + ",2)"),
                  CommandOutcome::Done)
            << i;
    }
    EXPECT_EQ(Commands().size(), 21u);
}

TEST_F(ScriptedStation, TwoTimeOutsInARowMeanTheStationIsGone) {
    OpenLink();
    ConsoleCapture console;
    Answer("");
    auto start = Clock::now();
    EXPECT_EQ(link->Execute("setPower(1)"), CommandOutcome::Unknown);
    EXPECT_GE(Clock::now() - start, 1400ms);
    EXPECT_LT(Clock::now() - start, 2s);
    // The ping that goes first is the second time-out: the command itself is not sent.
    start = Clock::now();
    EXPECT_EQ(link->Execute("setPower(0)"), CommandOutcome::NotSent);
    EXPECT_GE(Clock::now() - start, 1400ms);
    EXPECT_LT(Clock::now() - start, 2s);
    EXPECT_TRUE(console.WaitFor(
        "Lost connection to DSAir2 on " + name + ": no answer to 2 commands in a row\n", 1s));
    EXPECT_FALSE(link->Connected());
    EXPECT_EQ(Commands(), (std::vector<std::string>{"setPing()", "setPower(1)", "setPing()"}));

    // Refused at once from now on, and nothing more reaches the line.
    console.Clear();
    start = Clock::now();
    EXPECT_EQ(link->Execute("setPower(1)"), CommandOutcome::NotSent);
    EXPECT_LT(Clock::now() - start, 500ms);
    EXPECT_EQ(console.Lines(),
              (std::vector<std::string>{"[D Send] setPower(1)\n", "No connection to DSAir2!\n"}));
    EXPECT_EQ(Commands().size(), 3u);
}

// The ping's answer as the station gives it, with the status line.
std::string PingAnswer(char power, char error) {
    return "@DSG,00,03,00,02,00,00,00,00\r\n" + StatusLineText(power, error) + "\n200 Ok\r\n";
}

const char kShortTrip[] =
    "DSAir2 switched the track off: overload or short circuit on the track (error 8). Remove the "
    "cause, then switch the track on again from the application.\n";
const char kSupply[] = "DSAir2: track supply 14.8 V\n";

// The watch goes to the station like any ping and its status line is read, but the console
// shows only what it found.
TEST_F(ScriptedStation, TheWatchIsQuietAndItsStatusLineIsRead) {
    ConsoleCapture console;
    link = std::make_unique<NDSDCC::Impl>();
    SetReply([](const std::string& command) {
        return command == "setPing()" ? PingAnswer('N', '0') : "200 Ok\r\n";
    });
    Send("100 Ready\r\n");
    ASSERT_TRUE(link->Open(name));
    EXPECT_EQ(console.Lines(),
              (std::vector<std::string>{
                  "[D Recv] 100 Ready\r\n", "[D Send] setPing()\n",
                  "[D Recv] @DSG,00,03,00,02,00,00,00,00\r\n",
                  "[D Recv] " + StatusLineText('N', '0') + "\n", "[D Recv] 200 Ok\r\n",
                  "DSAir2 on " + name + ": firmware 8, hardware DSAir2, track supply 14.8 V\n"}));

    console.Clear();
    EXPECT_EQ(link->Watch(), CommandOutcome::Done);
    EXPECT_EQ(link->Execute("setPower(1)"), CommandOutcome::Done);
    EXPECT_EQ(console.Lines(),
              (std::vector<std::string>{"[D Send] setPower(1)\n", "[D Recv] 200 Ok\r\n"}));

    // The station trips by itself and says nothing until it is asked.
    SetReply([](const std::string& command) {
        return command == "setPing()" ? PingAnswer('N', '8') : "200 Ok\r\n";
    });
    console.Clear();
    EXPECT_EQ(link->TrackTrips(), 0u);
    EXPECT_EQ(link->Watch(), CommandOutcome::Done);
    EXPECT_EQ(console.Lines(), (std::vector<std::string>{kShortTrip, kSupply}));
    EXPECT_EQ(link->TrackTrips(), 1u);

    // Any other ping is echoed as before; an unchanged status says nothing.
    console.Clear();
    EXPECT_TRUE(link->SendCommand("setPing()"));
    EXPECT_EQ(console.Lines(),
              (std::vector<std::string>{
                  "[D Send] setPing()\n", "[D Recv] @DSG,00,03,00,02,00,00,00,00\r\n",
                  "[D Recv] " + StatusLineText('N', '8') + "\n", "[D Recv] 200 Ok\r\n"}));

    // Switched on again by the application: the error has gone.
    SetReply([](const std::string& command) {
        return command == "setPing()" ? PingAnswer('Y', '1') : "200 Ok\r\n";
    });
    EXPECT_TRUE(link->SendCommand("setPower(1)"));
    console.Clear();
    EXPECT_EQ(link->Watch(), CommandOutcome::Done);
    EXPECT_EQ(console.Lines(), std::vector<std::string>{kSupply});
    EXPECT_EQ(link->TrackTrips(), 1u);
    EXPECT_EQ(Commands(),
              (std::vector<std::string>{"setPing()", "setPing()", "setPower(1)", "setPing()",
                                        "setPing()", "setPower(1)", "setPing()"}));
}

// Out of step, the watch is the ping that resynchronises: what comes before its mark is a late
// answer to something earlier and is echoed; its own answer is not.
TEST_F(ScriptedStation, AWatchOutOfStepEchoesTheLateAnswersBeforeItsMark) {
    OpenLink();
    Answer("");
    EXPECT_EQ(link->Execute("setPower(1)"), CommandOutcome::Unknown);
    ConsoleCapture console;
    SetReply([](const std::string& command) {
        return command == "setPing()" ? "200 Ok\r\n" + PingAnswer('Y', '1') : "";
    });
    EXPECT_EQ(link->Watch(), CommandOutcome::Done);
    // The status line came too: the first one of this connection tells the supply.
    EXPECT_EQ(console.Lines(), (std::vector<std::string>{"[D Recv] 200 Ok\r\n", kSupply}));
    EXPECT_EQ(Commands(), (std::vector<std::string>{"setPing()", "setPower(1)", "setPing()"}));
}

// An unanswered watch counts like any unanswered command: two in a row and the station is gone.
// Only the loss is said.
TEST_F(ScriptedStation, UnansweredWatchesLoseTheStation) {
    OpenLink();
    ConsoleCapture console;
    Answer("");
    EXPECT_EQ(link->Watch(), CommandOutcome::Unknown);
    EXPECT_TRUE(link->Connected());
    EXPECT_EQ(link->Watch(), CommandOutcome::Unknown);
    EXPECT_TRUE(console.WaitFor(
        "Lost connection to DSAir2 on " + name + ": no answer to 2 commands in a row\n", 1s));
    EXPECT_FALSE(link->Connected());
    // Nothing goes out now, and the watch says nothing more about it.
    EXPECT_EQ(link->Watch(), CommandOutcome::NotSent);
    EXPECT_EQ(console.Lines(), std::vector<std::string>{"Lost connection to DSAir2 on " + name +
                                                        ": no answer to 2 commands in a row\n"});
    EXPECT_EQ(Commands(), (std::vector<std::string>{"setPing()", "setPing()", "setPing()"}));
}

TEST_F(ScriptedStation, StopEndsAWaitAtOnceAndRefusesWhatFollows) {
    OpenLink();
    Answer("");
    std::atomic<CommandOutcome> outcome{CommandOutcome::Done};
    std::thread waiting([&] { outcome = link->Execute("getLocoConfig(49152,8)"); });
    // Under way once the station has it.
    const auto arrived = Clock::now() + 5s;
    while (Commands().size() < 2 && Clock::now() < arrived)
        std::this_thread::sleep_for(5ms);
    ASSERT_EQ(Commands().size(), 2u);
    const auto start = Clock::now();
    link->Stop();
    waiting.join();
    EXPECT_LT(Clock::now() - start, 1s);
    EXPECT_EQ(outcome, CommandOutcome::Unknown);  // written: the station may have it
    EXPECT_EQ(link->Execute("setPower(1)"), CommandOutcome::NotSent);
    EXPECT_FALSE(link->Connected());
    EXPECT_EQ(Commands().size(), 2u);
}

// ---- The link against the simulated station -----------------------------------------------

class SimulatedStation : public ::testing::Test {
protected:
    void Start(SimOptions options = {}, LogFunction log = nullptr) {
        station = std::make_unique<DSAir2Simulator>(std::move(options));
        std::string error;
        ASSERT_TRUE(station->Start(error)) << error;
        link = std::make_unique<NDSDCC::Impl>(log);
    }

    std::unique_ptr<DSAir2Simulator> station;
    std::unique_ptr<NDSDCC::Impl> link;
};

TEST_F(SimulatedStation, HandshakeSucceeds) {
    Start();
    ASSERT_TRUE(link->Open(station->Path()));
    EXPECT_EQ(link->LastOpenFailure(), NDSDCC::OpenFailure::None);
    EXPECT_EQ(station->Commands(), std::vector<std::string>{"setPing()"});
    EXPECT_EQ(station->OpenCount(), 1);
    EXPECT_TRUE(link->SendCommand("setPower(1)"));
    EXPECT_TRUE(station->State().power);
}

TEST_F(SimulatedStation, FailedHandshakeLeavesThePortClosed) {
    struct HandshakeFailure {
        const char* name;
        bool sendReady;
        int pingStatus;  // -1: normal answer, 0: none
        NDSDCC::OpenFailure failure;
        std::chrono::milliseconds notBefore;
        std::size_t commands;
    };
    const HandshakeFailure cases[] = {
        {"no ready notice", false, -1, NDSDCC::OpenFailure::NoReadyNotice, 4900ms, 0},
        {"ping refused", true, 300, NDSDCC::OpenFailure::PingFailed, 0ms, 1},
        {"ping not answered", true, 0, NDSDCC::OpenFailure::PingFailed, 2900ms, 1},
    };
    for (const HandshakeFailure& c : cases) {
        SimOptions options;
        options.sendReady = c.sendReady;
        if (c.pingStatus >= 0) options.statusFor["setPing"] = c.pingStatus;
        Start(options);
        const auto start = Clock::now();
        EXPECT_FALSE(link->Open(station->Path())) << c.name;
        EXPECT_GE(Clock::now() - start, c.notBefore) << c.name;
        EXPECT_EQ(link->LastOpenFailure(), c.failure) << c.name;
        EXPECT_FALSE(link->Connected()) << c.name;
        EXPECT_EQ(station->Commands().size(), c.commands) << c.name;
        // Opened again, the port is taken: a port left open could not be (DeviceNotOpened).
        // The simulated station's boot takes longer than the wait allowed here.
        EXPECT_FALSE(link->Open(station->Path(), 50ms)) << c.name;
        EXPECT_EQ(link->LastOpenFailure(), NDSDCC::OpenFailure::NoReadyNotice)
            << c.name << ": port left open";
    }
}

TEST_F(SimulatedStation, MissingDeviceFailsAtOnce) {
    link = std::make_unique<NDSDCC::Impl>(nullptr);
    const auto start = Clock::now();
    EXPECT_FALSE(link->Open("/nonexistent/DSAIR2"));
    EXPECT_LT(Clock::now() - start, 1s);
    EXPECT_EQ(link->LastOpenFailure(), NDSDCC::OpenFailure::DeviceNotOpened);
    EXPECT_EQ(link->LastDevicePath(), "/nonexistent/DSAIR2");
    EXPECT_FALSE(link->Connected());
}

TEST_F(SimulatedStation, SecondOpenLeavesTheConnectionAlone) {
    Start();
    ASSERT_TRUE(link->Open(station->Path()));
    EXPECT_FALSE(link->Open(station->Path()));
    EXPECT_TRUE(link->Connected());
    EXPECT_EQ(station->OpenCount(), 1);
    EXPECT_TRUE(link->SendCommand("setPower(1)"));
}

TEST_F(SimulatedStation, UnpluggedAndReplugged) {
    ConsoleCapture console;
    SimOptions options;
    options.linkPath = "/tmp/railmux-link-test-" + std::to_string(::getpid());
    Start(options, ConsoleLog);
    ASSERT_TRUE(link->Open(station->Path()));
    ASSERT_TRUE(link->SendCommand("setPower(1)"));
    console.Clear();

    station->Unplug();
    ASSERT_TRUE(console.WaitFor(
        "Lost connection to DSAir2 on " + options.linkPath + ": read failed: end of file\n", 5s));
    const auto start = Clock::now();
    EXPECT_EQ(link->Execute("setPower(1)"), CommandOutcome::NotSent);
    EXPECT_LT(Clock::now() - start, 500ms);

    std::string error;
    ASSERT_TRUE(station->Replug(error)) << error;
    ASSERT_TRUE(console.WaitFor("Reconnected to DSAir2 on " + options.linkPath + "\n", 20s));
    // What the station reports about itself, said again for the new connection, after the line
    // that tells of it.
    const std::string startUp =
        "DSAir2 on " + options.linkPath + ": firmware 8, hardware DSAir2, track supply 14.8 V\n";
    ASSERT_TRUE(console.WaitFor(startUp, 1s));
    const std::vector<std::string> lines = console.Lines();
    const auto reconnected = std::find(lines.begin(), lines.end(),
                                       "Reconnected to DSAir2 on " + options.linkPath + "\n");
    ASSERT_NE(reconnected, lines.end());
    EXPECT_EQ(std::count(lines.begin(), lines.end(), startUp), 1);
    EXPECT_EQ(std::find(reconnected, lines.end(), startUp), reconnected + 1);
    EXPECT_EQ(link->StationEpoch(), 2u);   // the first connection, and this one
    EXPECT_FALSE(station->State().power);  // a fresh station
    EXPECT_TRUE(link->SendCommand("setPower(1)"));
    EXPECT_TRUE(station->State().power);
    EXPECT_EQ(station->Commands(),
              (std::vector<std::string>{"setPing()", "setPower(1)", "setPing()", "setPower(1)"}));
}

// The simulated station's own status line, through the link: its trip is found by the watch.
TEST_F(SimulatedStation, AShortCircuitIsFoundByTheWatch) {
    ConsoleCapture console;
    Start({}, ConsoleLog);
    ASSERT_TRUE(link->Open(station->Path()));
    EXPECT_EQ(console.Count("DSAir2 on " + station->Path() +
                            ": firmware 8, hardware DSAir2, track supply 14.8 V\n"),
              1u);
    ASSERT_TRUE(link->SendCommand("setPower(1)"));
    station->ShortCircuit();
    ASSERT_TRUE(station->WaitForState([](const SimState& s) { return s.trips == 1; }, 10s));
    EXPECT_EQ(link->Watch(), CommandOutcome::Done);
    EXPECT_EQ(console.Count(kShortTrip), 1u);
    EXPECT_EQ(link->TrackTrips(), 1u);

    console.Clear();
    ASSERT_TRUE(link->SendCommand("setPower(1)"));
    EXPECT_EQ(link->Watch(), CommandOutcome::Done);
    EXPECT_EQ(console.Lines(),
              (std::vector<std::string>{"[D Send] setPower(1)\n", "[D Recv] 200 Ok\r\n", kSupply}));
    EXPECT_EQ(station->State().error, 1);
    EXPECT_EQ(link->TrackTrips(), 1u);
}

TEST_F(SimulatedStation, AStationThatStopsReadingIsLostAndReopened) {
    ConsoleCapture console;
    Start({}, ConsoleLog);
    ASSERT_TRUE(link->Open(station->Path()));
    station->StopReading(true);
    const auto start = Clock::now();
    EXPECT_EQ(link->Execute("setPower(1)"), CommandOutcome::Unknown);
    EXPECT_LT(Clock::now() - start, 2s);
    EXPECT_TRUE(console.WaitFor("Lost connection to DSAir2 on " + station->Path() +
                                    ": a write did not finish within 1 second\n",
                                1s));
    // Opening the port anew resets the station, which then reads again.
    ASSERT_TRUE(console.WaitFor("Reconnected to DSAir2 on " + station->Path() + "\n", 20s));
    EXPECT_TRUE(link->SendCommand("setPower(1)"));
    EXPECT_EQ(station->Commands(),
              (std::vector<std::string>{"setPing()", "setPing()", "setPower(1)"}));
}

}  // namespace
