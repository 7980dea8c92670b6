// The simulator as a client of the device sees it, real bytes through a real pseudo-terminal:
// the wiring of the board to the port, its opens and closes, the link and the calls from other
// threads. The board's own rules are tested in sim_board_test.
#include "sim/DSAir2Simulator.hpp"
#include "tests/support/PtyClient.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kBanner =
    "Desktop Station air\r\nHW: DSair2\r\n-------------\r\nInit SD card...OK\r\n100 Ready\r\n";
// The ping's answer from a fresh station, its counter (which moves with the time) as "##".
const std::string kPingReply = "@DSG,00,03,00,02,00,00,00,00\r\n@DSS,N,0,8,0,148,00,2,##," +
                               std::string(11, '0') + ";" + std::string(15, '0') + ";" +
                               std::string(64, '0') + ";" + std::string(152, '0') +
                               "\r\n200 Ok\r\n";

// What arrived, with the counter of the first status line in it shown as "##".
std::string WithoutCounter(std::string received) {
    const std::size_t status = received.find("@DSS,");
    if (status != std::string::npos && received.size() >= status + 24) {
        received.replace(status + 22, 2, "##");
    }
    return received;
}

using Client = PtyClient;

std::unique_ptr<DSAir2Simulator> StartSimulator(SimOptions options = {}) {
    auto sim = std::make_unique<DSAir2Simulator>(options);
    std::string error;
    EXPECT_TRUE(sim->Start(error)) << error;
    return sim;
}

std::string LinkPath(const char* name) {
    return "/tmp/pty-station-test-" + std::to_string(::getpid()) + "-" + name;
}

bool IsLink(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

TEST(PtyStationTest, BannerOnOpenThenRepliesWithoutEcho) {
    auto sim = StartSimulator();
    EXPECT_EQ(sim->Path(), sim->DeviceName());
    EXPECT_EQ(sim->DeviceName().rfind("/dev/pts/", 0), 0u) << sim->DeviceName();
    Client client(sim->Path());
    ASSERT_TRUE(client.IsOpen());
    ASSERT_TRUE(client.ReadUntil("100 Ready\r\n")) << client.Take();
    EXPECT_EQ(client.Take(), kBanner);
    EXPECT_EQ(sim->OpenCount(), 1);

    ASSERT_TRUE(client.Send("setPing()\n"));
    ASSERT_TRUE(client.ReadUntil("200 Ok\r\n"));
    EXPECT_EQ(WithoutCounter(client.Take()), kPingReply);

    ASSERT_TRUE(client.Send("setPower(1)\r\n"));
    ASSERT_TRUE(client.ReadUntil("\r\n"));
    EXPECT_EQ(client.Take(), "200 Ok\r\n");
    EXPECT_TRUE(sim->State().power);

    ASSERT_TRUE(client.Send("getLocoConfig(49152,8)\n"));
    ASSERT_TRUE(client.ReadUntil("200 Ok\r\n"));
    EXPECT_EQ(client.Take(), "@CV,49152,8,13,\r\n200 Ok\r\n");
    EXPECT_FALSE(sim->State().power);

    EXPECT_EQ(sim->Commands(),
              (std::vector<std::string>{"setPing()", "setPower(1)", "getLocoConfig(49152,8)"}));
}

TEST(PtyStationTest, BannerAgainOnEveryOpen) {
    auto sim = StartSimulator();
    Client client(sim->Path());
    ASSERT_TRUE(client.ReadUntil("100 Ready\r\n"));
    client.Close();

    // A pause between close and open, and none at all: the second must not go unnoticed.
    std::this_thread::sleep_for(100ms);
    client.Open(sim->Path());
    ASSERT_TRUE(client.ReadUntil("100 Ready\r\n"));
    EXPECT_EQ(client.Take(), kBanner);
    client.Close();
    client.Open(sim->Path());
    ASSERT_TRUE(client.ReadUntil("100 Ready\r\n"));
    EXPECT_EQ(client.Take(), kBanner);
    EXPECT_EQ(sim->OpenCount(), 3);

    // A second descriptor of a device that is already open resets nothing: a ping written after
    // it is answered (a reset would have dropped the answer and sent the banner instead).
    Client second(sim->Path());
    ASSERT_TRUE(second.IsOpen());
    ASSERT_TRUE(client.Send("setPing()\n"));
    ASSERT_TRUE(client.ReadUntil("200 Ok\r\n"));
    EXPECT_EQ(WithoutCounter(client.Take()), kPingReply);
    EXPECT_EQ(sim->OpenCount(), 3);
}

TEST(PtyStationTest, ReplyTheOpenerNeverReadIsGoneAfterReopen) {
    auto sim = StartSimulator();
    Client client(sim->Path());
    ASSERT_TRUE(client.ReadUntil("100 Ready\r\n"));
    ASSERT_TRUE(client.Send("setPing()\n"));
    ASSERT_TRUE(sim->WaitForCommands(1, 5s));
    std::this_thread::sleep_for(100ms);
    client.Close();
    std::this_thread::sleep_for(100ms);
    client.Open(sim->Path());
    ASSERT_TRUE(client.ReadUntil("100 Ready\r\n"));
    EXPECT_EQ(client.Take(), kBanner);
    EXPECT_EQ(sim->OpenCount(), 2);
}

TEST(PtyStationTest, InputWhileBootingIsLost) {
    auto sim = StartSimulator();
    Client client(sim->Path());
    ASSERT_TRUE(client.Send("setPower(1)\n"));
    ASSERT_TRUE(client.ReadUntil("100 Ready\r\n"));
    EXPECT_TRUE(sim->Commands().empty());
    EXPECT_FALSE(sim->State().power);
}

TEST(PtyStationTest, StatusAndDelayChangeWhileRunning) {
    auto sim = StartSimulator();
    Client client(sim->Path());
    ASSERT_TRUE(client.ReadUntil("100 Ready\r\n"));
    client.Take();

    // Unanswered: the ping behind it is answered first.
    sim->SetStatusFor("setPower", 0);
    ASSERT_TRUE(client.Send("setPower(1)\n"));
    ASSERT_TRUE(sim->WaitForCommands(1, 5s));
    sim->SetStatusFor("setPower", -1);
    ASSERT_TRUE(client.Send("setPing()\nsetPower(1)\n"));
    ASSERT_TRUE(client.ReadUntil("\r\n200 Ok\r\n200 Ok\r\n"));
    // The track is on: "Y" and error digit 1 in the ping's status line.
    std::string onReply = kPingReply;
    onReply.replace(onReply.find("@DSS,N,0") + 5, 3, "Y,1");
    EXPECT_EQ(WithoutCounter(client.Take()), onReply + "200 Ok\r\n");

    sim->SetReplyDelay(300ms);
    const auto sent = Clock::now();
    ASSERT_TRUE(client.Send("setPower(0)\n"));
    ASSERT_TRUE(client.ReadUntil("\r\n"));
    EXPECT_GE(Clock::now() - sent, 250ms);
    EXPECT_EQ(client.Take(), "200 Ok\r\n");

    sim->SetCv(8, 129);
    sim->SetReplyDelay(0ms);
    ASSERT_TRUE(client.Send("getLocoConfig(49162,8)\n"));
    ASSERT_TRUE(client.ReadUntil("200 Ok\r\n"));
    EXPECT_EQ(client.Take(), "@CV,49162,8,129,\r\n200 Ok\r\n");

    // A line lost on its way: the ping behind it is answered first.
    sim->LoseNext("setPower", 1);
    ASSERT_TRUE(client.Send("setPower(1)\nsetPing()\n"));
    ASSERT_TRUE(client.ReadUntil("@DSS,"));
    EXPECT_EQ(client.Take().rfind("@DSG,", 0), 0u);
    EXPECT_EQ(sim->LostLines(), std::vector<std::string>{"setPower(1)"});

    sim->SendRaw("200 stale\r\n");
    ASSERT_TRUE(client.ReadUntil("\r\n"));
    EXPECT_EQ(client.Take(), "200 stale\r\n");
}

TEST(PtyStationTest, ByteByByteDelivery) {
    SimOptions options;
    options.byteByByte = true;
    auto sim = StartSimulator(options);
    Client client(sim->Path());
    ASSERT_TRUE(client.ReadUntil("100 Ready\r\n"));
    ASSERT_TRUE(client.Send("setPower(1)\n"));
    ASSERT_TRUE(client.ReadUntil("200 Ok\r\n"));
    EXPECT_EQ(client.Take(), kBanner + "200 Ok\r\n");
    // One write per byte, a millisecond apart: a reader cannot get it all in a few reads.
    EXPECT_GT(client.Reads(), 10);
}

TEST(PtyStationTest, HangUpAfterCommands) {
    SimOptions options;
    options.linkPath = LinkPath("hangup");
    options.hangUpAfter = 2;
    auto sim = StartSimulator(options);
    Client client(sim->Path());
    ASSERT_TRUE(client.ReadUntil("100 Ready\r\n"));
    client.Take();
    ASSERT_TRUE(client.Send("setPower(1)\n"));
    ASSERT_TRUE(client.ReadUntil("200 Ok\r\n"));
    EXPECT_EQ(client.Take(), "200 Ok\r\n");
    ASSERT_TRUE(client.Send("setPower(0)\n"));
    ASSERT_TRUE(client.ReadUntil("200 Ok\r\n"));
    EXPECT_EQ(client.Take(), "200 Ok\r\n");

    // The second reply was the last: the device is gone, like an unplugged USB adapter.
    client.ReadFor(2s);
    EXPECT_TRUE(client.Gone());
    EXPECT_FALSE(IsLink(options.linkPath));
    EXPECT_NE(::access(sim->DeviceName().c_str(), F_OK), 0);
    EXPECT_FALSE(client.Send("setPing()\n"));
    EXPECT_EQ(sim->Commands().size(), 2u);
}

TEST(PtyStationTest, LinkToTheDevice) {
    const std::string path = LinkPath("link");
    // A stale link of an earlier run is replaced.
    ASSERT_EQ(::symlink("/nonexistent/pts", path.c_str()), 0);
    {
        SimOptions options;
        options.linkPath = path;
        auto sim = StartSimulator(options);
        EXPECT_EQ(sim->Path(), path);
        char target[256] = {};
        ASSERT_GT(::readlink(path.c_str(), target, sizeof target - 1), 0);
        EXPECT_EQ(std::string(target), sim->DeviceName());
        Client client(path);
        ASSERT_TRUE(client.ReadUntil("100 Ready\r\n"));
    }
    EXPECT_FALSE(IsLink(path));

    // Anything that is not a link is left alone.
    const int file = ::open(path.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(file, 0);
    ::close(file);
    SimOptions options;
    options.linkPath = path;
    DSAir2Simulator sim(options);
    std::string error;
    EXPECT_FALSE(sim.Start(error));
    EXPECT_NE(error.find("not a symbolic link"), std::string::npos) << error;
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    ::unlink(path.c_str());
}

// Opening the port resets the board: nothing survives from before, not even the arguments a
// command leaves behind.
TEST(PtyStationTest, OpeningThePortResetsTheStation) {
    auto sim = StartSimulator();
    Client client(sim->Path());
    ASSERT_TRUE(client.ReadUntil("100 Ready\r\n"));
    for (const char* command : {"setPower(1)\n", "setTurnout(14336,1)\n",
                                "setLocoFunction(49157,1,1)\n", "setLocoFunction(49155,1,1)\n"}) {
        ASSERT_TRUE(client.Send(command));
        ASSERT_TRUE(client.ReadUntil("200 Ok\r\n"));
        client.Take();
    }
    ASSERT_TRUE(sim->State().power);
    client.Close();
    client.Open(sim->Path());
    ASSERT_TRUE(client.ReadUntil("100 Ready\r\n"));
    const SimState fresh = sim->State();
    EXPECT_FALSE(fresh.power);
    // Only the boot entry: locomotive 3, its function off.
    ASSERT_EQ(fresh.list.size(), 1u);
    ASSERT_EQ(fresh.locos.size(), 1u);
    EXPECT_EQ(fresh.locos.at(49155).functions, 0u);
    EXPECT_TRUE(fresh.accessories.empty());
    // The function command's "on" is gone from the argument array: 28 steps, not 14.
    ASSERT_TRUE(client.Send("setLocoSpeed(49155,1023)\n"));
    ASSERT_TRUE(client.ReadUntil("200 Ok\r\n"));
    EXPECT_EQ(sim->State().locos.at(49155).mode, 0);
}

// A reset in mid-session: the opener gets the banner again from a station that forgot.
TEST(PtyStationTest, ResetWhileHeldBootsAgain) {
    auto sim = StartSimulator();
    Client client(sim->Path());
    ASSERT_TRUE(client.ReadUntil("100 Ready\r\n"));
    client.Take();
    ASSERT_TRUE(client.Send("setPower(1)\n"));
    ASSERT_TRUE(client.ReadUntil("200 Ok\r\n"));
    ASSERT_TRUE(sim->State().power);
    client.Take();
    sim->Reset();
    EXPECT_FALSE(sim->State().power);
    ASSERT_TRUE(client.ReadUntil("100 Ready\r\n"));
    EXPECT_EQ(client.Take(), kBanner);
    EXPECT_EQ(sim->OpenCount(), 1);
}

// A replugged adapter comes back under another device number: only the link finds it.
TEST(PtyStationTest, ReplugComesBackUnderAnotherNumber) {
    SimOptions options;
    options.linkPath = LinkPath("renumber");
    auto sim = StartSimulator(options);
    const std::string before = sim->DeviceName();
    {
        Client client(sim->Path());
        ASSERT_TRUE(client.ReadUntil("100 Ready\r\n"));
        sim->Unplug();
    }
    std::string error;
    ASSERT_TRUE(sim->Replug(error)) << error;
    EXPECT_NE(sim->DeviceName(), before);
    char target[256] = {};
    ASSERT_GT(::readlink(options.linkPath.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), sim->DeviceName());
    Client client(sim->Path());
    EXPECT_TRUE(client.ReadUntil("100 Ready\r\n"));
}

// The list's faults as the tests read them from another thread.
TEST(PtyStationTest, TheListsFaultsAreCounted) {
    auto sim = StartSimulator();
    Client client(sim->Path());
    ASSERT_TRUE(client.ReadUntil("100 Ready\r\n"));
    // Locomotive 3 runs; 20 more entries push it out; then its stop meets the firmware's fault
    // and takes the first slot with an undefined packet; a turnout overwrites that, and the
    // next locomotive overwrites the turnout before its packet went out.
    std::string lines = "setPower(1)\nsetLocoSpeed(49155,504,0)\n";
    for (int address = 49156; address <= 49175; ++address)
        lines += "setLocoDirection(" + std::to_string(address) + ",1)\n";
    lines += "setLocoSpeed(49155,0,0)\nsetTurnout(14336,1)\nsetLocoDirection(49176,1)\nsetPing()\n";
    ASSERT_TRUE(client.Send(lines));
    ASSERT_TRUE(client.ReadUntil("@DSS,"));
    EXPECT_EQ(sim->SpeedsWithoutEntry(), 1);
    EXPECT_EQ(sim->OverwrittenRunning(), 2);
    EXPECT_EQ(sim->OverwrittenTurnouts(), 1);
    const std::vector<SimOverwrite> overwritten = sim->Overwritten();
    ASSERT_EQ(overwritten.size(), 4u);
    const struct {
        std::int32_t address;
        bool running;
    } expected[] = {{49155, true}, {49175, false}, {49155, true}, {14336, false}};
    for (std::size_t i = 0; i < overwritten.size(); ++i) {
        EXPECT_EQ(overwritten[i].entry.address, expected[i].address) << i;
        EXPECT_EQ(overwritten[i].running, expected[i].running) << i;
    }
    EXPECT_EQ(overwritten[3].entry.kind, SimEntry::Kind::Accessory);
    EXPECT_FALSE(overwritten[3].entry.sent);
    const SimState state = sim->State();
    EXPECT_EQ(state.list.size(), 20u);
    EXPECT_EQ(state.decoders.at(3).rails, "undefined");
}

// The trips the tests cause from another thread: the station's next check takes them.
TEST(PtyStationTest, AShortCircuitSwitchesTheTrackOff) {
    auto sim = StartSimulator();
    Client client(sim->Path());
    ASSERT_TRUE(client.ReadUntil("100 Ready\r\n"));
    ASSERT_TRUE(client.Send("setPower(1)\n"));
    ASSERT_TRUE(client.ReadUntil("200 Ok\r\n"));
    client.Take();
    sim->ShortCircuit();
    ASSERT_TRUE(sim->WaitForState([](const SimState& state) { return !state.power; }, 5s));
    EXPECT_EQ(sim->State().error, 8);
    ASSERT_TRUE(client.Send("setPing()\n"));
    ASSERT_TRUE(client.ReadUntil("200 Ok\r\n"));
    EXPECT_NE(client.Take().find("@DSS,N,8,8,0,148,"), std::string::npos);

    sim->SetSupplyVoltage(21.5);
    ASSERT_TRUE(client.Send("setPower(1)\n"));
    ASSERT_TRUE(client.ReadUntil("200 Ok\r\n"));
    ASSERT_TRUE(sim->WaitForState([](const SimState& state) { return state.error == 4; }, 5s));
    EXPECT_FALSE(sim->State().power);
    EXPECT_EQ(sim->State().trips, 2);
}

TEST(PtyStationTest, WaitForCommandsTimesOut) {
    auto sim = StartSimulator();
    const auto start = Clock::now();
    EXPECT_FALSE(sim->WaitForCommands(1, 200ms));
    EXPECT_GE(Clock::now() - start, 190ms);
}

}  // namespace
