// dsair2-sim as a user runs it: its command line, what it prints and its signals.
#include "tests/support/ChildProcess.hpp"
#include "tests/support/PtyClient.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

const std::string kPing = "setPing()\n";

std::string LinkPath(const char* name) {
    return "/tmp/sim-program-test-" + std::to_string(::getpid()) + "-" + name;
}

bool Exists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

// The program on a link of its own, stopped by SIGTERM at the end.
class SimProgram : public ::testing::Test {
protected:
    void TearDown() override {
        if (sim_ == nullptr) return;
        sim_->Signal(SIGTERM);
        EXPECT_EQ(sim_->Wait(30s), 0);
        EXPECT_TRUE(sim_->WaitForStdout("dsair2-sim: stopped by SIGTERM", 5s));
        EXPECT_FALSE(Exists(link_));
    }

    // Starts dsair2-sim with options and waits until it serves its link.
    ::testing::AssertionResult Start(std::vector<std::string> options, const char* name) {
        link_ = LinkPath(name);
        std::vector<std::string> argv{SIM_BIN};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.push_back(link_);
        sim_ = std::make_unique<ChildProcess>(argv);
        if (sim_->WaitForStdout(", linked as " + link_ + "\n", 30s)) {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure() << sim_->Stdout() << sim_->Stderr();
    }

    std::unique_ptr<ChildProcess> sim_;
    std::string link_;
};

TEST(SimProgramCommandLine, BadOptionsAreRefusedWithTheReason) {
    const std::string link = LinkPath("refused");
    const struct {
        std::vector<std::string> args;
        const char* reason;
    } cases[] = {
        {{"--lose"}, "unknown or incomplete option --lose"},
        {{"--lose", ":2", link}, "bad --lose :2 (want NAME or NAME:N)"},
        {{"--lose", "", link}, "bad --lose  (want NAME or NAME:N)"},
        {{"--lose", "setPower:0", link}, "bad --lose setPower:0 (want NAME or NAME:N)"},
        {{"--lose", "setPower:", link}, "bad --lose setPower: (want NAME or NAME:N)"},
        {{"--lose", "setPower:two", link}, "bad --lose setPower:two (want NAME or NAME:N)"},
        {{"--supply-voltage", "high", link}, "bad --supply-voltage high (want 0 to 99.9)"},
        {{"--supply-voltage", "-1", link}, "bad --supply-voltage -1 (want 0 to 99.9)"},
        {{"--supply-voltage", "100", link}, "bad --supply-voltage 100 (want 0 to 99.9)"},
        {{"--supply-voltage", "12V", link}, "bad --supply-voltage 12V (want 0 to 99.9)"},
        {{"--short-after", "-5", link}, "bad --short-after -5"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv{SIM_BIN};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        ChildProcess sim(argv);
        EXPECT_EQ(sim.Wait(30s), 2) << c.reason;
        EXPECT_TRUE(sim.WaitForStderr(std::string("dsair2-sim: ") + c.reason + "\n", 5s))
            << sim.Stderr();
        EXPECT_NE(sim.Stderr().find("Usage: dsair2-sim"), std::string::npos) << c.reason;
        EXPECT_FALSE(Exists(link)) << c.reason;
    }
}

// The ping after the lost lines is answered first: they were neither carried out nor answered.
TEST_F(SimProgram, LosesTheLinesItIsToldTo) {
    ASSERT_TRUE(Start({"--lose", "setPower:2", "--lose", "setPing"}, "lose"));
    PtyClient client(link_);
    ASSERT_TRUE(client.ReadUntil("100 Ready\r\n", 30s));
    client.Take();
    ASSERT_TRUE(
        client.Send(kPing + "setPower(1)\nsetPower(1)\nsetPower(0)\nsetPower(1)\n" + kPing));
    ASSERT_TRUE(client.ReadUntil("@DSS,", 30s)) << client.Take();
    const std::string replies = client.Take();
    EXPECT_EQ(replies.rfind("200 Ok\r\n200 Ok\r\n@DSG,", 0), 0u) << replies;
    const std::string lost = "lost on the line (neither carried out nor answered): ";
    EXPECT_TRUE(sim_->WaitForStdout(lost + "setPower(1)\n" + lost + "setPower(1)\n", 5s));
    EXPECT_NE(sim_->Stdout().find(lost + "setPing()\n"), std::string::npos);
    EXPECT_NE(sim_->Stdout().find("setPower(0)  -> track power OFF"), std::string::npos);
}

// What the console and the state file say about the list: the running locomotive pushed out,
// and the stop that then meets the firmware's fault.
TEST_F(SimProgram, ShowsTheListsFaults) {
    const std::string state = link_ + ".state";
    ASSERT_TRUE(Start({"--state", state}, "list"));
    PtyClient client(link_);
    ASSERT_TRUE(client.ReadUntil("100 Ready\r\n", 30s));
    std::string lines = "setPower(1)\nsetLocoSpeed(49155,504,0)\n";
    for (int address = 49156; address <= 49175; ++address)
        lines += "setLocoDirection(" + std::to_string(address) + ",1)\n";
    ASSERT_TRUE(client.Send(lines + "setLocoSpeed(49155,0,0)\n" + kPing));
    ASSERT_TRUE(client.ReadUntil("@DSS,", 30s));
    EXPECT_TRUE(sim_->WaitForStdout(
        "setLocoSpeed(49155,0,0)  -> loco 3: speed 0/1023 without an entry: the new entry (28 "
        "steps) carries an undefined packet until the next speed; rails: undefined\n",
        30s))
        << sim_->Stdout();
    EXPECT_NE(sim_->Stdout().find("list full: loco 23 overwrites the entry of loco 3, which the "
                                  "station forgets; its decoder runs on (rails 03 78)\n"),
              std::string::npos);
    std::ifstream file(state);
    std::string account, rails;
    std::getline(file, account);
    std::getline(file, rails);
    EXPECT_EQ(rails, "rails: undefined");
    EXPECT_NE(account.find("loco 3: speed 0/1023 forward, 28 steps, rails undefined"),
              std::string::npos)
        << account;
    ::unlink(state.c_str());
}

// The supply on the command line, a short circuit by SIGHUP: the station switches the track off
// without a word on the serial line; its status line and the console say why.
TEST_F(SimProgram, ASignalShortsTheTrack) {
    ASSERT_TRUE(Start({"--supply-voltage", "12.3"}, "short"));
    PtyClient client(link_);
    ASSERT_TRUE(client.ReadUntil("100 Ready\r\n", 30s));
    ASSERT_TRUE(client.Send("setPower(1)\n"));
    ASSERT_TRUE(client.ReadUntil("200 Ok\r\n", 30s));
    client.Take();
    sim_->Signal(SIGHUP);
    ASSERT_TRUE(
        sim_->WaitForStdout("the station switched the track off by itself: overload or "
                            "short circuit (error 8, supply 12.3 V)\n",
                            30s))
        << sim_->Stdout();
    ASSERT_TRUE(client.Send(kPing));
    ASSERT_TRUE(client.ReadUntil("200 Ok\r\n", 30s));
    const std::string reply = client.Take();
    EXPECT_EQ(reply.rfind("@DSG,", 0), 0u) << reply;
    EXPECT_NE(reply.find("\r\n@DSS,N,8,8,0,123,00,2,"), std::string::npos) << reply;
}

}  // namespace
