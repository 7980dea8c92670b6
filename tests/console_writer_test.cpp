#include "app/ConsoleWriter.hpp"

#include "base/ConsoleLog.hpp"
#include "tests/support/ReadUntil.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr auto kWait = 30s;

// A pipe for the writer's output, read only when the test says so.
class ConsoleWriterTest : public ::testing::Test {
protected:
    void SetUp() override {
        // A read end closed under a writer still at work must not end the test program.
        ::signal(SIGPIPE, SIG_IGN);
        ASSERT_EQ(::pipe2(fds_, O_CLOEXEC), 0);
    }
    void TearDown() override {
        SetConsoleSink(nullptr);
        ::close(fds_[0]);
        if (fds_[1] >= 0) ::close(fds_[1]);
    }

    std::string ReadUntil(const std::string& suffix) { return ::ReadUntil(fds_[0], suffix, kWait); }

    // Runs what may block on a thread of its own; false when it has not returned in kWait.
    static bool ReturnsInTime(std::function<void()> work) {
        auto done = std::make_shared<std::promise<void>>();
        auto future = done->get_future();
        std::thread([work, done] {
            work();
            done->set_value();
        }).detach();
        return future.wait_for(kWait) == std::future_status::ready;
    }

    int fds_[2] = {-1, -1};
};

std::string Line(int i) {
    char line[64];
    std::snprintf(line, sizeof line, "line %05d ..................................\n", i);
    return line;
}

// What an output that stopped draining received: the first lines whole and in order, then the
// count of the others. Returns how many were kept.
int KeptThenCounted(const std::string& received, int lines) {
    std::istringstream in(received);
    std::string line;
    int next = 0;
    while (std::getline(in, line) && line.rfind("line ", 0) == 0) {
        EXPECT_EQ(line + "\n", Line(next));
        ++next;
    }
    EXPECT_GT(next, 0);
    EXPECT_LT(next, lines);
    EXPECT_EQ(line + "\n", ConsoleWriter::DroppedLine(lines - next));
    return next;
}

TEST_F(ConsoleWriterTest, EachLineReachesTheOutputAtOnce) {
    ConsoleWriter writer(fds_[1]);
    ConsoleLog("[E Recv] %s\n", "Q 03 3F 85 B9");
    EXPECT_EQ(ReadUntil("\n"), "[E Recv] Q 03 3F 85 B9\n");
    const std::string longText(5000, 'x');
    ConsoleLog("[D Recv] %s\n", longText.c_str());
    EXPECT_EQ(ReadUntil("\n"), "[D Recv] " + longText + "\n");
}

TEST_F(ConsoleWriterTest, AnOutputThatDoesNotDrainDropsWholeLinesAndSaysHowMany) {
    ASSERT_GT(::fcntl(fds_[1], F_SETPIPE_SZ, 4096), 0);
    constexpr std::size_t kBound = 16 * 1024;
    constexpr int kLines = 2000;  // far more than the pipe and the bound hold
    ConsoleWriter writer(fds_[1], kBound);
    ASSERT_TRUE(ReturnsInTime([] {
        for (int i = 0; i < kLines; ++i)
            ConsoleLog("%s", Line(i).c_str());
    })) << "a line waited for the output";

    const int kept = KeptThenCounted(ReadUntil(" lines dropped.\n"), kLines);
    EXPECT_GE(static_cast<std::size_t>(kept) * Line(0).size(), kBound - Line(0).size());

    // Once the output drains, lines go at once again.
    ConsoleLog("after\n");
    EXPECT_EQ(ReadUntil("after\n"), "after\n");
}

// The system journal is a socket: lines go straight to it while it takes them, and to the queue
// (the rest of a line included) once it does not.
TEST_F(ConsoleWriterTest, ASocketThatDoesNotDrainNeverHoldsUpTheLogger) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    const int small = 4096;
    ::setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    constexpr int kLines = 5000;
    {
        ConsoleWriter writer(pair[1], 16 * 1024);
        ASSERT_TRUE(ReturnsInTime([] {
            for (int i = 0; i < kLines; ++i)
                ConsoleLog("%s", Line(i).c_str());
        })) << "a line waited for the output";
        KeptThenCounted(::ReadUntil(pair[0], " lines dropped.\n", kWait), kLines);
    }
    ::close(pair[0]);
    ::close(pair[1]);
}

TEST_F(ConsoleWriterTest, QueuedLinesAreWrittenOutAtTheEnd) {
    std::string all;
    std::thread reader([&] {
        char buffer[65536];
        ssize_t n;
        while ((n = ::read(fds_[0], buffer, sizeof buffer)) > 0)
            all.append(buffer, static_cast<std::size_t>(n));
    });
    std::string expected;
    {
        ConsoleWriter writer(fds_[1]);
        for (int i = 0; i < 5000; ++i) {
            ConsoleLog("%s", Line(i).c_str());
            expected += Line(i);
        }
    }
    ::close(fds_[1]);
    fds_[1] = -1;
    reader.join();
    EXPECT_EQ(all, expected);
}

TEST_F(ConsoleWriterTest, AtTheEndAStalledOutputHoldsUpOnlyForTheExitWait) {
    // The writer left blocked writes on after this test; its descriptor stays open for it (the
    // read end's closing ends its writes).
    const int leftOpen = ::fcntl(fds_[1], F_DUPFD_CLOEXEC, 0);
    ASSERT_GE(leftOpen, 0);
    auto writer = std::make_unique<ConsoleWriter>(leftOpen, ConsoleWriter::kQueueBound, 100ms);
    for (int i = 0; i < 5000; ++i)
        ConsoleLog("%s", Line(i).c_str());
    EXPECT_TRUE(ReturnsInTime([&] { writer.reset(); })) << "the end waited for the output";
    // Later lines would wait for the same output: they are dropped instead.
    EXPECT_TRUE(ReturnsInTime([] {
        for (int i = 0; i < 5000; ++i)
            ConsoleLog("%s", Line(i).c_str());
    }));
}

}  // namespace
