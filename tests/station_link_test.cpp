#include "station/NDSDCCImpl.hpp"

#include "base/ConsoleLog.hpp"
#include "sim/DSAir2Simulator.hpp"
#include "tests/support/ConsoleCapture.hpp"
#include "tests/support/OpenRawPtyPair.hpp"

#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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

// ---- Framing and reply lines, fed straight into a standalone link -------------------------

struct StatusCase {
    const char* name;
    std::vector<std::string> chunks;
    std::int32_t status;
    std::vector<std::string> echoed;
};

TEST(StationLinkLines, StatusLinesAreFramedAndRead) {
    const StatusCase cases[] = {
        {"CR LF line", {"200 Ok\r\n"}, 200, {"200 Ok\r"}},
        {"split inside the code", {"2", "00 Ok\r", "\n"}, 200, {"200 Ok\r"}},
        {"several lines in one chunk",
         {"Init SD card...OK\r\n100 Ready\r\n201 Busy\r\n"},
         201,
         {"Init SD card...OK\r", "100 Ready\r", "201 Busy\r"}},
        {"ready notice", {"100 Ready\r\n"}, 100, {"100 Ready\r"}},
        {"empty line records 0", {"200 Ok\n", "\n"}, 0, {"200 Ok", ""}},
        {"leading space records 0", {"200 Ok\n", " 200 Ok\n"}, 0, {"200 Ok", " 200 Ok"}},
        {"text records 0", {"Desktop Station air\r\n"}, 0, {"Desktop Station air\r"}},
        {"tab ends the code", {"200\tOk\n"}, 200, {"200\tOk"}},
        {"vertical tab ends the code", {"250\vOk\n"}, 250, {"250\\x0BOk"}},
        {"form feed ends the code", {"299\fOk\n"}, 299, {"299\\x0COk"}},
        {"sign and trailing text", {"-12x\n"}, -12, {"-12x"}},
        {"plus sign", {"+7\n"}, 7, {"+7"}},
        {"huge code saturates", {"99999999999 Big\n"}, 2147483647, {"99999999999 Big"}},
        {"unfinished line is not handled", {"201 Busy\n", "200 Ok"}, 201, {"201 Busy"}},
        {"data line leaves the status",
         {"201 Busy\n", "@CV,1,2,3,\r\n"},
         201,
         {"201 Busy", "@CV,1,2,3,\r"}},
    };
    for (const StatusCase& c : cases) {
        ConsoleCapture console;
        NDSDCC::Impl link;
        for (const std::string& chunk : c.chunks)
            link.OnSerialData(Bytes(chunk));
        EXPECT_EQ(link.LastStatus(), c.status) << c.name;
        std::vector<std::string> expected;
        for (const std::string& line : c.echoed)
            expected.push_back("[D Recv] " + line + "\n");
        EXPECT_EQ(console.Lines(), expected) << c.name;
    }
}

struct DataCase {
    const char* name;
    bool expectCv;  // the CV read has set the expected tag
    const char* line;
    std::vector<std::string> values;
};

TEST(StationLinkLines, DataLinesStoreTheValuesOfTheExpectedTag) {
    const std::vector<std::string> untouched{"untouched"};
    const DataCase cases[] = {
        {"four values", true, "@CV,1,2,3,4", {"1", "2", "3", "4"}},
        {"device form keeps the CR in the last field",
         true,
         "@CV,49162,8,129,\r",
         {"49162", "8", "129", "\r"}},
        {"adjacent commas", true, "@CV,1,,3", {"1", "", "3"}},
        {"tag alone empties", true, "@CV", {}},
        {"tag with trailing comma", true, "@CV,", {""}},
        {"lower-case tag ignored", true, "@cv,1,2,3,4", untouched},
        {"other tag ignored", true, "@DSG,00,03,00,02", untouched},
        {"longer tag ignored", true, "@CVWrite,1,3", untouched},
        {"empty tag before any CV read", false, "@,a,b", {"a", "b"}},
        {"CV tag before any CV read", false, "@CV,1,2,3,4", untouched},
    };
    for (const DataCase& c : cases) {
        NDSDCC::Impl link;
        link.log = nullptr;
        std::int32_t value = 0;
        if (c.expectCv) {
            EXPECT_FALSE(link.GetLocoConfig(1, value));  // refused, but the tag is set
        }
        link.OnSerialData(Bytes("@" + std::string(c.expectCv ? "CV" : "") + ",untouched\n"));
        link.OnSerialData(Bytes(std::string(c.line) + "\n"));
        EXPECT_EQ(link.ReplyValues(), c.values) << c.name;
        EXPECT_EQ(link.LastStatus(), 0) << c.name;
    }
}

TEST(StationLinkLines, LongLineArrivesWhole) {
    ConsoleCapture console;
    NDSDCC::Impl link;
    const std::string line = "@CV," + std::string(3000, 'x');
    const std::string stream = line + "\n";
    for (std::size_t at = 0; at < stream.size(); at += 1024) {
        link.OnSerialData(Bytes(stream.substr(at, 1024)));
    }
    EXPECT_EQ(console.Lines(), std::vector<std::string>{"[D Recv] " + line + "\n"});
}

TEST(StationLinkLines, OverlongLineIsCutAndTheNextLineIsIntact) {
    ConsoleCapture console;
    NDSDCC::Impl link;
    const std::size_t cap = NDSDCC::Impl::kMaxLineLength;
    std::string head(cap, 'a');
    head[0] = '7';
    const std::vector<std::uint8_t> chunk(1000, 'b');
    link.OnSerialData(Bytes(head));
    for (int i = 0; i < 300; ++i)
        link.OnSerialData(chunk);  // far beyond the cap
    link.OnSerialData(Bytes("bbb\n201 Busy\r\n"));
    EXPECT_EQ(console.Lines(),
              (std::vector<std::string>{"[D Recv] " + head + "\n", "[D Recv] 201 Busy\r\n"}));
    EXPECT_EQ(link.LastStatus(), 201);
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

    struct Received {
        std::string command;
        Clock::time_point time;
        Clock::time_point previousReply;  // when the station last wrote before it
    };
    std::vector<Received> Commands() {
        std::lock_guard<std::mutex> lock(mutex);
        return commands;
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
                    commands.push_back({command, now, lastReplyTime});
                    answer = reply(command);
                }
                if (!answer.empty()) Send(answer);
            }
        }
    }

    std::thread reader;
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::function<std::string(const std::string&)> reply = [](const std::string&) {
        return std::string("200 Ok\r\n");
    };
    std::vector<Received> commands;
    Clock::time_point lastReplyTime;
};

TEST_F(ScriptedStation, HandshakePingsOneStationPauseAfterTheReadyNotice) {
    ConsoleCapture console;
    OpenLink();
    EXPECT_TRUE(link->Connected());
    EXPECT_EQ(link->lastOpenFailure, NDSDCC::OpenFailure::None);
    EXPECT_EQ(link->lastDevicePath, name);

    Clock::time_point readyEcho;
    ASSERT_TRUE(console.WaitFor("[D Recv] 100 Ready\r\n", 1s, &readyEcho));
    const std::vector<Received> commands = Commands();
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].command, "setPing()");
    EXPECT_GE(commands[0].time - readyEcho, 95ms);
    EXPECT_EQ(console.Lines(),
              (std::vector<std::string>{"[D Recv] 100 Ready\r\n", "[D Send] setPing()\n",
                                        "[D Recv] 200 Ok\r\n"}));
}

TEST_F(ScriptedStation, NextCommandWaitsOutTheStationPause) {
    OpenLink();
    for (auto gap : {0ms, 30ms, 60ms}) {
        std::this_thread::sleep_for(gap);
        EXPECT_TRUE(link->SendCommand("setPower(1)"));
    }
    const std::vector<Received> commands = Commands();
    ASSERT_EQ(commands.size(), 4u);
    for (std::size_t i = 1; i < commands.size(); ++i) {
        EXPECT_GE(commands[i].time - commands[i].previousReply, 100ms) << i;
    }
}

struct CompletionCase {
    const char* name;
    const char* reply;
    bool result;
};

TEST_F(ScriptedStation, OnlyACompletingStatusLineEndsTheWait) {
    OpenLink();
    const CompletionCase cases[] = {
        {"success after other lines", "Desktop\r\nInit SD card...OK\r\n@CV,1\r\n\r\n200 Ok\r\n",
         true},
        {"LF only", "200 Ok\n", true},
        {"other completing code", "201 Busy\r\n", false},
        {"error code", "299 Err\r\n", false},
        {"unknown command", "300 Cmd err\r\n", false},
        {"syntax error", "301 Stx err\r\n", false},
        {"the completing line counts, not what follows", "200 Ok\r\nnoise\r\n", true},
        // Both lines come in one chunk, before the waiting command has woken up: the first is
        // the answer, the second is stale by the time anyone reads it.
        {"the first of two completing lines answers", "200 Ok\r\n201 Busy\r\n", true},
        {"a refusal followed by success stays a refusal", "300 Cmd err\r\n200 Ok\r\n", false},
    };
    for (const CompletionCase& c : cases) {
        const std::string reply = c.reply;
        SetReply([reply](const std::string&) { return reply; });
        const auto start = Clock::now();
        EXPECT_EQ(link->SendCommand("setPower(1)"), c.result) << c.name;
        EXPECT_LT(Clock::now() - start, 2500ms) << c.name;  // ended by the line, not the time-out
    }
}

TEST_F(ScriptedStation, LinesBeforeTheCommandDoNotCompleteIt) {
    OpenLink();
    ConsoleCapture console;
    SetReply([](const std::string&) { return std::string("noise\r\n"); });
    Send("200 Ok\r\n");
    ASSERT_TRUE(console.WaitFor("[D Recv] 200 Ok\r\n", 5s));

    const auto start = Clock::now();
    EXPECT_FALSE(link->SendCommand("setPower(1)"));
    EXPECT_GE(Clock::now() - start, 1400ms);
    EXPECT_TRUE(link->Connected());

    // The link carries on after the time-out, in step again after its ping.
    SetReply(DeviceAnswer);
    EXPECT_TRUE(link->SendCommand("setPower(0)"));
    EXPECT_EQ(Commands().back().command, "setPower(0)");
}

TEST_F(ScriptedStation, RepliesAtOnceAreNeverMissed) {
    OpenLink();
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(link->SendCommand("setLocoSpeed(49155," + std::to_string(i) + ")")) << i;
    }
    EXPECT_EQ(Commands().size(), 21u);
}

struct CvCase {
    const char* name;
    const char* reply;
    bool result;
    std::int32_t value;  // afterwards; 11 is the caller's own
};

TEST_F(ScriptedStation, CvReadChecksTheDataLine) {
    OpenLink();
    const CvCase cases[] = {
        {"value read", "@CV,0,8,145,0\r\n200 Ok\r\n", true, 145},
        {"device form", "@CV,49152,8,129,\r\n200 Ok\r\n", true, 129},
        {"numbers read like atoi", "@CV,49152, 8x,-3y,\r\n200 Ok\r\n", true, -3},
        {"unreadable CV", "@CV,49152,8,65535,\r\n200 Ok\r\n", false, 65535},
        {"other CV number", "@CV,49152,7,145,\r\n200 Ok\r\n", false, 11},
        {"three values", "@CV,49152,8,145\r\n200 Ok\r\n", false, 11},
        {"five values", "@CV,49152,8,145,,\r\n200 Ok\r\n", false, 11},
        {"no data line", "200 Ok\r\n", false, 11},
        {"another tag", "@CVWrite,8,145\r\n200 Ok\r\n", false, 11},
        {"station refuses", "@CV,49152,8,145,\r\n201 Busy\r\n", false, 11},
        // In one chunk, so the line after the answer is in before the command wakes up.
        {"a data line after the answer does not replace it",
         "@CV,49152,8,145,\r\n200 Ok\r\n@CV,49152,8,99,\r\n", true, 145},
    };
    for (const CvCase& c : cases) {
        const std::string reply = c.reply;
        SetReply([reply](const std::string&) { return reply; });
        std::int32_t value = 11;
        EXPECT_EQ(link->GetLocoConfig(8, value), c.result) << c.name;
        EXPECT_EQ(value, c.value) << c.name;
        EXPECT_EQ(Commands().back().command, "getLocoConfig(49152,8)") << c.name;
    }
}

TEST_F(ScriptedStation, CvReadForgetsTheValuesOfAnEarlierRead) {
    OpenLink();
    SetReply([](const std::string&) { return std::string("@CV,49152,8,145,\r\n200 Ok\r\n"); });
    std::int32_t value = 0;
    ASSERT_TRUE(link->GetLocoConfig(8, value));
    SetReply([](const std::string&) { return std::string("200 Ok\r\n"); });
    value = 11;
    EXPECT_FALSE(link->GetLocoConfig(8, value));
    EXPECT_EQ(value, 11);
}

// ---- The link against the simulated station -----------------------------------------------

class SimulatedStation : public ::testing::Test {
protected:
    void Start(SimOptions options = {}) {
        station = std::make_unique<DSAir2Simulator>(std::move(options));
        std::string error;
        ASSERT_TRUE(station->Start(error)) << error;
        link.log = nullptr;
    }

    std::unique_ptr<DSAir2Simulator> station;
    NDSDCC::Impl link;
};

TEST_F(SimulatedStation, HandshakeSucceeds) {
    Start();
    ASSERT_TRUE(link.Open(station->Path()));
    EXPECT_EQ(link.lastOpenFailure, NDSDCC::OpenFailure::None);
    EXPECT_EQ(station->Commands(), std::vector<std::string>{"setPing()"});
    EXPECT_EQ(station->OpenCount(), 1);
    EXPECT_TRUE(link.SendCommand("setPower(1)"));
    EXPECT_TRUE(station->State().power);
}

struct HandshakeFailure {
    const char* name;
    bool sendReady;
    int pingStatus;  // -1: normal answer, 0: none
    NDSDCC::OpenFailure failure;
    std::chrono::milliseconds notBefore;
    std::size_t commands;
};

TEST_F(SimulatedStation, FailedHandshakeLeavesThePortClosed) {
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
        NDSDCC::Impl failing;
        failing.log = nullptr;
        const auto start = Clock::now();
        EXPECT_FALSE(failing.Open(station->Path())) << c.name;
        EXPECT_GE(Clock::now() - start, c.notBefore) << c.name;
        EXPECT_EQ(failing.lastOpenFailure, c.failure) << c.name;
        EXPECT_FALSE(failing.Connected()) << c.name;
        EXPECT_FALSE(failing.port.Close()) << c.name << ": port left open";
        EXPECT_EQ(station->Commands().size(), c.commands) << c.name;
    }
}

TEST_F(SimulatedStation, MissingDeviceFailsAtOnce) {
    link.log = nullptr;
    EXPECT_FALSE(link.Open("/nonexistent/DSAIR2"));
    EXPECT_EQ(link.lastOpenFailure, NDSDCC::OpenFailure::DeviceNotOpened);
    EXPECT_EQ(link.lastDevicePath, "/nonexistent/DSAIR2");
    EXPECT_FALSE(link.Connected());
}

TEST_F(SimulatedStation, SecondOpenLeavesTheConnectionAlone) {
    Start();
    ASSERT_TRUE(link.Open(station->Path()));
    EXPECT_FALSE(link.Open(station->Path()));
    EXPECT_TRUE(link.Connected());
    EXPECT_TRUE(link.SendCommand("setPower(1)"));
}

TEST_F(SimulatedStation, CvCommandsWaitLongerThanOthers) {
    Start();
    ASSERT_TRUE(link.Open(station->Path()));
    station->SetReplyDelay(2500ms);

    auto start = Clock::now();
    EXPECT_FALSE(link.SendCommand("setPower(1)"));
    EXPECT_GE(Clock::now() - start, 1400ms);
    EXPECT_LT(Clock::now() - start, 2s);

    // The CV command waits out the late "200 Ok" of setPower behind its ping and still gets
    // its own answer.
    start = Clock::now();
    EXPECT_TRUE(link.SendCommand("setLocoConfig(49152,1,3)"));
    EXPECT_GE(Clock::now() - start, 2400ms);
    start = Clock::now();
    EXPECT_TRUE(link.SendCommand("getLocoConfig(49152,1)"));
    EXPECT_GE(Clock::now() - start, 2400ms);
    EXPECT_EQ(station->Commands(),
              (std::vector<std::string>{"setPing()", "setPower(1)", "setPing()",
                                        "setLocoConfig(49152,1,3)", "getLocoConfig(49152,1)"}));
}

// ---- Faults: late answers, a silent or vanishing station, a reset, the stop -------------

struct LateCase {
    const char* name;
    const char* unanswered;  // the command that times out
    const char* late;        // its answer, sent just before the answer to the next command
};

TEST_F(ScriptedStation, LateAnswersNeverCompleteALaterCommand) {
    const LateCase cases[] = {
        {"late success", "setPower(1)", "200 Ok\r\n"},
        {"late refusal", "setLocoFunction(49155,61,1)", "300 Cmd err\r\n"},
        // A CV read would time out after its 15 s; any late data line is the same to the link.
        {"late CV value", "setPower(1)", "@CV,49152,8,99,\r\n200 Ok\r\n"},
        {"late ping answer", "setPing()", "@DSG,00,03,00,02,00,00,00,00\r\n200 Ok\r\n"},
    };
    OpenLink();
    for (const LateCase& c : cases) {
        const std::string unanswered = c.unanswered;
        const std::string late = c.late;
        // The first command goes unanswered; its answer comes before that of the next.
        auto calls = std::make_shared<int>(0);
        SetReply([=](const std::string& command) {
            const int call = ++*calls;
            if (call == 1) return std::string();
            std::string answer = command == "getLocoConfig(49152,8)"
                                     ? "@CV,49152,8,145,\r\n200 Ok\r\n"
                                     : DeviceAnswer(command);
            return call == 2 ? late + answer : answer;
        });
        const std::size_t before = Commands().size();
        auto start = Clock::now();
        EXPECT_FALSE(link->SendCommand(unanswered)) << c.name;
        EXPECT_LT(Clock::now() - start, 2s) << c.name;

        std::int32_t value = 11;
        start = Clock::now();
        EXPECT_TRUE(link->GetLocoConfig(8, value)) << c.name;
        EXPECT_LT(Clock::now() - start, 2s) << c.name;
        EXPECT_EQ(value, 145) << c.name;
        std::vector<std::string> sent;
        const std::vector<Received> all = Commands();
        for (std::size_t i = before; i < all.size(); ++i)
            sent.push_back(all[i].command);
        EXPECT_EQ(sent,
                  (std::vector<std::string>{unanswered, "setPing()", "getLocoConfig(49152,8)"}))
            << c.name;
        EXPECT_TRUE(link->Connected()) << c.name;
    }
}

TEST_F(ScriptedStation, TwoTimeOutsInARowMeanTheStationIsGone) {
    OpenLink();
    ConsoleCapture console;
    SetReply([](const std::string&) { return std::string(); });
    for (const char* command : {"setPower(1)", "setPower(0)"}) {
        const auto start = Clock::now();
        EXPECT_FALSE(link->SendCommand(command)) << command;
        EXPECT_GE(Clock::now() - start, 1400ms) << command;
        EXPECT_LT(Clock::now() - start, 2s) << command;
    }
    EXPECT_TRUE(console.WaitFor(
        "Lost connection to DSAir2 on " + name + ": no answer to 2 commands in a row\n", 1s));
    EXPECT_FALSE(link->Connected());

    // Refused at once from now on, and nothing more reaches the line.
    const std::size_t written = Commands().size();
    const auto start = Clock::now();
    EXPECT_FALSE(link->SendCommand("setPower(1)"));
    EXPECT_LT(Clock::now() - start, 500ms);
    EXPECT_TRUE(console.WaitFor("No connection to DSAir2!\n", 1s));
    EXPECT_EQ(Commands().size(), written);
}

TEST_F(ScriptedStation, AReadyNoticeInMidSessionMeansAFreshStation) {
    ConsoleCapture console;
    OpenLink();
    // The handshake's own notice is no reset.
    const std::uint64_t connected = link->StationEpoch();
    EXPECT_TRUE(link->Greet());
    EXPECT_EQ(Commands().size(), 1u);
    Send("Desktop Station air\r\n100 Ready\r\n");
    ASSERT_TRUE(console.WaitFor(
        "DSAir2 on " + name + " was reset; it has forgotten its locomotives and track power.\n",
        5s));
    EXPECT_EQ(link->StationEpoch(), connected + 1);
    // Greeted once: a station with its wireless card listens only when a command comes soon.
    EXPECT_TRUE(link->Greet());
    EXPECT_TRUE(link->Greet());
    ASSERT_EQ(Commands().size(), 2u);
    EXPECT_EQ(Commands().back().command, "setPing()");
    EXPECT_TRUE(link->SendCommand("setPower(1)"));

    // Any command is greeting enough.
    Send("Desktop Station air\r\n100 Ready\r\n");
    const auto noticed = Clock::now() + 5s;
    while (link->StationEpoch() != connected + 2 && Clock::now() < noticed)
        std::this_thread::sleep_for(5ms);
    ASSERT_EQ(link->StationEpoch(), connected + 2);
    EXPECT_TRUE(link->SendCommand("setPower(0)"));
    EXPECT_TRUE(link->Greet());
    EXPECT_EQ(Commands().back().command, "setPower(0)");
}

TEST_F(ScriptedStation, AResetEndsTheWaitOfTheCommandItInterrupted) {
    OpenLink();
    // The station reboots instead of answering the CV read it would take 15 s over.
    SetReply(
        [](const std::string&) { return std::string("Desktop Station air\r\n100 Ready\r\n"); });
    const auto start = Clock::now();
    EXPECT_FALSE(link->SendCommand("getLocoConfig(49152,8)"));
    EXPECT_LT(Clock::now() - start, 5s);
    EXPECT_TRUE(link->Connected());

    // A command written as the station came back might still be answered: a ping goes first.
    SetReply(DeviceAnswer);
    EXPECT_TRUE(link->SendCommand("setPower(1)"));
    const std::vector<Received> commands = Commands();
    ASSERT_EQ(commands.size(), 4u);
    EXPECT_EQ(commands[1].command, "getLocoConfig(49152,8)");
    EXPECT_EQ(commands[2].command, "setPing()");
    EXPECT_EQ(commands[3].command, "setPower(1)");
}

TEST_F(ScriptedStation, StopEndsAWaitAtOnceAndRefusesWhatFollows) {
    OpenLink();
    SetReply([](const std::string&) { return std::string(); });
    std::atomic<bool> result{true};
    std::thread waiting([&] { result = link->SendCommand("getLocoConfig(49152,8)"); });
    // Under way once the station has it.
    const auto arrived = Clock::now() + 5s;
    while (Commands().size() < 2 && Clock::now() < arrived)
        std::this_thread::sleep_for(5ms);
    ASSERT_EQ(Commands().size(), 2u);
    const auto start = Clock::now();
    link->Stop();
    waiting.join();
    EXPECT_LT(Clock::now() - start, 1s);
    EXPECT_FALSE(result);
    EXPECT_FALSE(link->SendCommand("setPower(1)"));
    EXPECT_EQ(Commands().size(), 2u);
}

TEST_F(SimulatedStation, UnpluggedAndReplugged) {
    ConsoleCapture console;
    SimOptions options;
    options.linkPath = "/tmp/railmux-link-test-" + std::to_string(::getpid());
    Start(options);
    link.log = ConsoleLog;
    ASSERT_TRUE(link.Open(station->Path()));
    ASSERT_TRUE(link.SendCommand("setPower(1)"));

    station->Unplug();
    ASSERT_TRUE(console.WaitFor(
        "Lost connection to DSAir2 on " + options.linkPath + ": read failed: end of file\n", 5s));
    const auto start = Clock::now();
    EXPECT_FALSE(link.SendCommand("setPower(1)"));
    EXPECT_LT(Clock::now() - start, 500ms);

    std::string error;
    ASSERT_TRUE(station->Replug(error)) << error;
    ASSERT_TRUE(console.WaitFor("Reconnected to DSAir2 on " + options.linkPath + "\n", 20s));
    EXPECT_EQ(link.StationEpoch(), 2u);    // the first connection, and this one
    EXPECT_FALSE(station->State().power);  // a fresh station
    EXPECT_TRUE(link.SendCommand("setPower(1)"));
    EXPECT_TRUE(station->State().power);
    EXPECT_EQ(station->Commands(),
              (std::vector<std::string>{"setPing()", "setPower(1)", "setPing()", "setPower(1)"}));
}

TEST_F(SimulatedStation, AStationThatStopsReadingIsLostAndReopened) {
    ConsoleCapture console;
    Start();
    link.log = ConsoleLog;
    ASSERT_TRUE(link.Open(station->Path()));
    station->StopReading(true);
    const auto start = Clock::now();
    EXPECT_FALSE(link.SendCommand("setPower(1)"));
    EXPECT_LT(Clock::now() - start, 2s);
    EXPECT_TRUE(console.WaitFor("Lost connection to DSAir2 on " + station->Path() +
                                    ": a write did not finish within 1 second\n",
                                1s));
    // Opening the port anew resets the station, which then reads again.
    ASSERT_TRUE(console.WaitFor("Reconnected to DSAir2 on " + station->Path() + "\n", 20s));
    EXPECT_TRUE(link.SendCommand("setPower(1)"));
    EXPECT_EQ(station->Commands(),
              (std::vector<std::string>{"setPing()", "setPing()", "setPower(1)"}));
}

}  // namespace
