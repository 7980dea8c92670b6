#include "serial/NSerialPort.hpp"

#include "serial/ExclusiveAccess.hpp"
#include "sim/DSAir2Simulator.hpp"
#include "tests/support/OpenRawPtyPair.hpp"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// A raw pseudo-terminal pair: the port opens the device side, the test plays the device on the
// master side. The fixture keeps its own descriptor of the device side so that the line does
// not hang up when the port closes.
class RawPty : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(OpenRawPtyPair(master, device, name)); }

    void TearDown() override {
        if (master >= 0) ::close(master);
        if (device >= 0) ::close(device);
    }

    void Send(const std::string& bytes) {
        ASSERT_EQ(::write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // What the port wrote, read until size bytes have come or the timeout passed.
    std::string Receive(std::size_t size, std::chrono::milliseconds timeout) {
        std::string received;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (received.size() < size) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd poller{master, POLLIN, 0};
            if (::poll(&poller, 1, static_cast<int>(left.count())) <= 0) break;
            char buffer[4096];
            ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n <= 0) break;
            received.append(buffer, static_cast<std::size_t>(n));
        }
        return received;
    }

    int master = -1;
    int device = -1;
    std::string name;
};

// Collects the chunks that one or two callbacks receive.
class Chunks {
public:
    ReceiveCallback Callback(int tag) {
        return [this, tag](const std::vector<std::uint8_t>& chunk) {
            std::lock_guard<std::mutex> lock(mutex_);
            order_.push_back(tag);
            bytes_[tag].append(chunk.begin(), chunk.end());
            if (tag == 0) sizes_.push_back(chunk.size());
            changed_.notify_all();
        };
    }

    // Until the first callback has seen size bytes, and the second as many, if registered.
    bool WaitFor(std::size_t size, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] {
            return bytes_[0].size() >= size && (!second_ || bytes_[1].size() >= size);
        });
    }
    void ExpectSecond() { second_ = true; }
    std::string Bytes(int tag = 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        return bytes_[tag];
    }
    std::vector<std::size_t> Sizes() {
        std::lock_guard<std::mutex> lock(mutex_);
        return sizes_;
    }
    std::vector<int> Order() {
        std::lock_guard<std::mutex> lock(mutex_);
        return order_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool second_ = false;
    std::string bytes_[2];
    std::vector<std::size_t> sizes_;
    std::vector<int> order_;
};

TEST(SerialPort, MissingDeviceIsNotOpened) {
    NSerialPort port;
    EXPECT_FALSE(port.Open("/nonexistent/ttyRAILMUX"));
    EXPECT_EQ(port.LastOpenError(), boost::system::errc::no_such_file_or_directory);
    EXPECT_FALSE(port.Write("x", 1));
    EXPECT_FALSE(port.Close());
}

TEST_F(RawPty, OpenWriteCloseFollowTheOpenFlag) {
    NSerialPort port;
    EXPECT_FALSE(port.Write("early\n", 6));
    ASSERT_TRUE(port.Open(name));
    EXPECT_FALSE(port.LastOpenError());
    EXPECT_FALSE(port.Open(name));

    EXPECT_TRUE(port.Write(nullptr, 0));
    EXPECT_TRUE(port.Write("setPing()\n", 10));
    EXPECT_EQ(Receive(64, 300ms), "setPing()\n");  // nothing of the refused or empty writes

    EXPECT_TRUE(port.Close());
    EXPECT_FALSE(port.Close());
    EXPECT_FALSE(port.Write("late\n", 5));
    EXPECT_EQ(Receive(1, 100ms), "");
}

TEST_F(RawPty, OpenAppliesTheStationLineSettings) {
    termios before;
    ASSERT_EQ(::tcgetattr(device, &before), 0);
    ::cfsetspeed(&before, B9600);
    before.c_cflag |= CSTOPB | CRTSCTS;
    ASSERT_EQ(::tcsetattr(device, TCSANOW, &before), 0);

    NSerialPort port;
    ASSERT_TRUE(port.Open(name));
    termios after;
    ASSERT_EQ(::tcgetattr(device, &after), 0);
    EXPECT_EQ(::cfgetospeed(&after), static_cast<speed_t>(B115200));
    EXPECT_EQ(::cfgetispeed(&after), static_cast<speed_t>(B115200));
    EXPECT_EQ(after.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(after.c_cflag & PARENB, 0u);
    EXPECT_EQ(after.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(after.c_cflag & CRTSCTS, 0u);
}

TEST_F(RawPty, ChunksReachEveryCallbackInOrder) {
    // Bytes that arrived before the open are kept for the reader.
    Send("pending,");

    Chunks chunks;
    NSerialPort port;
    port.AddReceiveCallback(chunks.Callback(0));
    port.AddReceiveCallback(chunks.Callback(1));
    chunks.ExpectSecond();
    ASSERT_TRUE(port.Open(name));
    ASSERT_TRUE(chunks.WaitFor(8, 5s));

    std::string burst;
    for (int i = 0; burst.size() < 5000; ++i)
        burst += std::to_string(i) + ",";
    Send(burst);
    ASSERT_TRUE(chunks.WaitFor(8 + burst.size(), 5s));

    EXPECT_EQ(chunks.Bytes(0), "pending," + burst);
    EXPECT_EQ(chunks.Bytes(1), "pending," + burst);
    const std::vector<std::size_t> sizes = chunks.Sizes();
    EXPECT_GE(sizes.size(), 5u);
    for (std::size_t size : sizes)
        EXPECT_LE(size, 1024u);
    const std::vector<int> order = chunks.Order();
    ASSERT_EQ(order.size(), 2 * sizes.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        EXPECT_EQ(order[i], static_cast<int>(i % 2));
}

TEST_F(RawPty, CloseEndsTheReaderAndReopenReadsAgain) {
    Chunks chunks;
    NSerialPort port;
    port.AddReceiveCallback(chunks.Callback(0));
    ASSERT_TRUE(port.Open(name));
    Send("a");
    ASSERT_TRUE(chunks.WaitFor(1, 5s));

    ASSERT_TRUE(port.Close());
    Send("b");
    EXPECT_FALSE(chunks.WaitFor(2, 200ms));

    // The system never reopens, but the port allows it: the reader picks up what waited.
    ASSERT_TRUE(port.Open(name));
    Send("c");
    ASSERT_TRUE(chunks.WaitFor(3, 5s));
    EXPECT_EQ(chunks.Bytes(), "abc");
}

// One Railmux per device: a second opener is refused as busy while the first keeps its line,
// and may open once the first has closed.
TEST_F(RawPty, SecondPortOnTheSameDeviceIsRefusedUntilTheFirstCloses) {
    NSerialPort first;
    NSerialPort second;
    ASSERT_TRUE(first.Open(name));
    EXPECT_FALSE(second.Open(name));
    EXPECT_EQ(second.LastOpenError(), boost::system::errc::device_or_resource_busy);
    EXPECT_FALSE(second.Write("x\n", 2));
    EXPECT_NE(ExclusiveAccess::Holders(name).find("(pid " + std::to_string(::getpid()) + ")"),
              std::string::npos)
        << ExclusiveAccess::Holders(name);

    EXPECT_TRUE(first.Write("setPing()\n", 10));
    EXPECT_EQ(Receive(10, 2s), "setPing()\n");

    ASSERT_TRUE(first.Close());
    EXPECT_TRUE(second.Open(name));
    EXPECT_FALSE(second.LastOpenError());
}

// A pseudo-terminal in exclusive mode stays so after its opener has gone, also one that was
// killed before it could clear it; the next Railmux (not root) would be refused.
TEST_F(RawPty, PseudoTerminalIsNotPutInExclusiveMode) {
    NSerialPort port;
    ASSERT_TRUE(port.Open(name));
    int exclusive = -1;
    ASSERT_EQ(::ioctl(device, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
}

// Regression: a read that completed just before the close still reached the callbacks after
// Close had returned, and during destruction, after the callbacks' state was gone.
TEST_F(RawPty, NoCallbackAfterCloseWhileBytesKeepArriving) {
    std::atomic<bool> flooding{true};
    std::thread flood([&] {
        const std::string bytes(256, 'x');
        while (flooding) {
            pollfd poller{master, POLLOUT, 0};
            if (::poll(&poller, 1, 10) > 0) (void)!::write(master, bytes.data(), bytes.size());
        }
    });
    for (int round = 0; round < 30; ++round) {
        std::atomic<bool> closed{false};
        std::atomic<int> late{0};
        std::atomic<int> delivered{0};
        {
            NSerialPort port;
            port.AddReceiveCallback([&](const std::vector<std::uint8_t>&) {
                ++delivered;
                if (closed) ++late;
            });
            ASSERT_TRUE(port.Open(name));
            while (delivered < 3)
                std::this_thread::sleep_for(1ms);
            ASSERT_TRUE(port.Close());
            closed = true;
            std::this_thread::sleep_for(5ms);
            closed = false;
            ASSERT_TRUE(port.Open(name));  // and once more through the destructor
            while (delivered < 6)
                std::this_thread::sleep_for(1ms);
        }
        closed = true;
        EXPECT_EQ(late, 0) << round;
    }
    flooding = false;
    flood.join();
}

// The reasons the port gives its owner, collected from the I/O thread.
class Losses {
public:
    LossCallback Callback() {
        return [this](const std::string& reason) {
            std::lock_guard<std::mutex> lock(mutex_);
            reasons_.push_back(reason);
            changed_.notify_all();
        };
    }
    bool WaitFor(std::size_t count, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return reasons_.size() >= count; });
    }
    std::vector<std::string> Reasons() {
        std::lock_guard<std::mutex> lock(mutex_);
        return reasons_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> reasons_;
};

TEST_F(RawPty, HangUpIsReportedOnceAndWritesFail) {
    Chunks chunks;
    Losses losses;
    NSerialPort port;
    port.AddReceiveCallback(chunks.Callback(0));
    port.SetLossCallback(losses.Callback());
    ASSERT_TRUE(port.Open(name));
    ::close(device);
    device = -1;
    ::close(master);  // the adapter is gone
    master = -1;
    ASSERT_TRUE(losses.WaitFor(1, 5s));
    EXPECT_FALSE(port.Write("setPing()\n", 10));
    EXPECT_TRUE(port.Close());
    EXPECT_EQ(losses.Reasons(), std::vector<std::string>{"end of file"});
    EXPECT_EQ(chunks.Bytes(), "");
}

TEST_F(RawPty, CloseIsNoLossAndReopenWorksAgainAndAgainOnOneThread) {
    Chunks chunks;
    Losses losses;
    NSerialPort port;
    port.AddReceiveCallback(chunks.Callback(0));
    port.SetLossCallback(losses.Callback());
    auto threads = [] {
        std::size_t count = 0;
        DIR* tasks = ::opendir("/proc/self/task");
        while (const dirent* entry = ::readdir(tasks)) {
            if (entry->d_name[0] != '.') ++count;
        }
        ::closedir(tasks);
        return count;
    };
    ASSERT_TRUE(port.Open(name));
    const std::size_t threadsWhileOpen = threads();
    std::string expected;
    for (int round = 0; round < 20; ++round) {
        ASSERT_TRUE(port.Close()) << round;
        ASSERT_TRUE(port.Open(name)) << round;
        const std::string byte(1, static_cast<char>('a' + round));
        Send(byte);
        expected += byte;
        ASSERT_TRUE(chunks.WaitFor(expected.size(), 5s)) << round;
    }
    EXPECT_EQ(chunks.Bytes(), expected);
    EXPECT_EQ(threads(), threadsWhileOpen);
    EXPECT_EQ(losses.Reasons(), std::vector<std::string>{});
}

TEST_F(RawPty, AWriteTheDeviceDoesNotTakeFailsAtItsDeadline) {
    NSerialPort port;
    ASSERT_TRUE(port.Open(name));
    // Output suspended: the line takes no byte, as a device that stopped reading.
    ASSERT_EQ(::tcflow(device, TCOOFF), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(port.Write("setPower(1)\n", 12));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(port.LastWriteError(), boost::system::errc::timed_out);
    EXPECT_GE(took, 900ms);
    EXPECT_LT(took, 5s);

    // The port closes at once and works again when reopened on a line that reads.
    ASSERT_TRUE(port.Close());
    ASSERT_EQ(::tcflow(device, TCOON), 0);
    ASSERT_TRUE(port.Open(name));
    EXPECT_TRUE(port.Write("setPower(0)\n", 12));
    EXPECT_EQ(Receive(12, 5s), "setPower(0)\n");
}

TEST_F(RawPty, ALargeWriteArrivesWhole) {
    // Far more than the line buffers, so that the device takes it in several partial writes.
    std::string block;
    for (int i = 0; block.size() < 256 * 1024; ++i)
        block += std::to_string(i) + ",";
    NSerialPort port;
    ASSERT_TRUE(port.Open(name));
    std::string received;
    std::thread reader([&] { received = Receive(block.size(), 20s); });
    EXPECT_TRUE(port.Write(block.data(), block.size()));
    reader.join();
    EXPECT_EQ(received.size(), block.size());
    EXPECT_TRUE(received == block);
}

TEST(SerialPortWithStation, ReceivesTheBootBannerAfterOpening) {
    DSAir2Simulator station;
    std::string error;
    ASSERT_TRUE(station.Start(error)) << error;

    Chunks chunks;
    NSerialPort port;
    port.AddReceiveCallback(chunks.Callback(0));
    ASSERT_TRUE(port.Open(station.Path()));
    const std::string ready = "100 Ready\r\n";
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (chunks.Bytes().find(ready) == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        chunks.WaitFor(chunks.Bytes().size() + 1, 100ms);
    }
    EXPECT_NE(chunks.Bytes().find(ready), std::string::npos) << chunks.Bytes();

    ASSERT_TRUE(port.Write("setPing()\n", 10));
    EXPECT_TRUE(station.WaitForCommands(1, 10s));
    EXPECT_EQ(station.Commands().at(0), "setPing()");
}

}  // namespace
