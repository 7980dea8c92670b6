#include "base/ConsoleLog.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

// Standard output redirected into a pipe for the life of the fixture.
class StdoutPipe : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(::pipe(fds_), 0);
        saved_ = ::dup(STDOUT_FILENO);
        ::dup2(fds_[1], STDOUT_FILENO);
        ::fcntl(fds_[0], F_SETFL, O_NONBLOCK);
    }
    void TearDown() override {
        ::dup2(saved_, STDOUT_FILENO);
        ::close(saved_);
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    // What is in the pipe right now, without anyone flushing anything.
    std::string Available() {
        std::string text;
        char buffer[65536];
        pollfd p{fds_[0], POLLIN, 0};
        while (::poll(&p, 1, 0) > 0) {
            ssize_t n = ::read(fds_[0], buffer, sizeof buffer);
            if (n <= 0) break;
            text.append(buffer, static_cast<std::size_t>(n));
        }
        return text;
    }
    int fds_[2] = {-1, -1};
    int saved_ = -1;
};

TEST_F(StdoutPipe, EachLineReachesAPipeAtOnceAndAsFormatted) {
    ConsoleLog("[E Recv] %s\n", "Q 03 3F 85 B9");
    EXPECT_EQ(Available(), "[E Recv] Q 03 3F 85 B9\n");

    // Longer than the formatting buffer on the stack.
    const std::string longText(5000, 'x');
    ConsoleLog("[D Recv] %s\n", longText.c_str());
    EXPECT_EQ(Available(), "[D Recv] " + longText + "\n");
}

TEST(ConsoleLogTest, LinesFromSeveralThreadsNeverInterleave) {
    std::string captured;
    SetConsoleSink([&](const char* text, std::size_t size) { captured.append(text, size); });
    const std::string body(700, 'a');  // past the stack buffer as well
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &body] {
            for (int i = 0; i < 200; ++i)
                ConsoleLog("%d:%s:%d\n", t, body.c_str(), i);
        });
    }
    for (auto& th : threads)
        th.join();
    SetConsoleSink(nullptr);

    // Every line must be whole, and each thread's lines must come in the order it wrote them.
    std::istringstream lines(captured);
    std::string line;
    int count = 0;
    int next[4] = {0, 0, 0, 0};
    while (std::getline(lines, line)) {
        ++count;
        ASSERT_GE(line.size(), body.size() + 4) << line;
        ASSERT_EQ(line[1], ':') << line;
        ASSERT_EQ(line.substr(2, body.size()), body) << line;
        ASSERT_EQ(line[2 + body.size()], ':') << line;
        const int t = line[0] - '0';
        ASSERT_TRUE(t >= 0 && t < 4) << line;
        EXPECT_EQ(std::stoi(line.substr(3 + body.size())), next[t]++) << line;
    }
    EXPECT_EQ(count, 800);
}

// Logs once from its destructor, which runs during static destruction after everything that was
// constructed later, the console's own state included: the serial I/O thread of the program can
// do the same while the process exits.
struct LogsAtExit {
    bool armed = false;
    ~LogsAtExit() {
        if (armed) ConsoleLog("late line\n");
    }
};
LogsAtExit logsAtExit;  // constructed before the first ConsoleLog call

TEST(ConsoleLogTest, LoggingDuringStaticDestructionStillReachesTheSink) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(fds[0]);
        // Large enough that std::function keeps it on the heap.
        struct Writer {
            int fd;
            std::array<char, 64> padding;
            void operator()(const char* text, std::size_t size) const {
                if (::write(fd, text, size) < 0) std::_Exit(2);
            }
        };
        SetConsoleSink(Writer{fds[1], {}});
        logsAtExit.armed = true;
        std::exit(0);  // runs the static destructors
    }
    ::close(fds[1]);
    std::string received;
    char buffer[256];
    ssize_t n;
    while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0)
        received.append(buffer, static_cast<std::size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(received, "late line\n");
}

}  // namespace
