// dsair2-sim as a user runs it: its command line, what it prints and its signals.
#include "tests/support/ChildProcess.hpp"
#include "tests/support/PtyClient.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
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

}  // namespace
