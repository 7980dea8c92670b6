// The simulator as a client of the device sees it: real bytes through a real pseudo-terminal.
#include "sim/DSAir2Simulator.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kBanner =
    "Desktop Station air\r\nHW: DSair2\r\n-------------\r\nInit SD card...OK\r\n100 Ready\r\n";
const std::string kPingReply =
    "@DSG,00,03,00,02,00,00,00,00\r\n@DSS," + std::string(265, '0') + "\r\n200 Ok\r\n";

// Opens the device as Railmux does: read-write, no controlling terminal, raw.
class Client {
public:
    explicit Client(const std::string& path) { Open(path); }
    ~Client() { Close(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    void Open(const std::string& path) {
        Close();
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd_ < 0) return;
        termios modes{};
        ::tcgetattr(fd_, &modes);
        ::cfmakeraw(&modes);
        ::tcsetattr(fd_, TCSANOW, &modes);
        received_.clear();
        reads_ = 0;
        gone_ = false;
    }
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    bool IsOpen() const { return fd_ >= 0; }

    bool Send(const std::string& bytes) {
        return ::write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }

    // Reads until text has arrived; false after the timeout or once the device is gone.
    bool ReadUntil(const std::string& text, std::chrono::milliseconds timeout = 5s) {
        const auto end = Clock::now() + timeout;
        while (received_.find(text) == std::string::npos) {
            if (gone_ || !ReadOnce(end)) return false;
        }
        return true;
    }
    // Everything that arrives within the time.
    void ReadFor(std::chrono::milliseconds time) {
        const auto end = Clock::now() + time;
        while (!gone_ && ReadOnce(end)) {
        }
    }
    // What arrived so far, emptied for the next exchange.
    std::string Take() {
        std::string out;
        out.swap(received_);
        return out;
    }
    int Reads() const { return reads_; }
    // The device went away under the open descriptor (end of file or an error on read).
    bool Gone() const { return gone_; }

private:
    bool ReadOnce(Clock::time_point end) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        if (left.count() <= 0) return false;
        pollfd entry{fd_, POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(left.count())) <= 0) return false;
        char buffer[4096];
        const ssize_t count = ::read(fd_, buffer, sizeof buffer);
        if (count > 0) {
            received_.append(buffer, static_cast<std::size_t>(count));
            ++reads_;
            return true;
        }
        if (count < 0 && errno == EAGAIN) return true;
        gone_ = true;
        return false;
    }

    int fd_ = -1;
    std::string received_;
    int reads_ = 0;
    bool gone_ = false;
};

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
    EXPECT_EQ(client.Take(), kPingReply);

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

    // A second descriptor of a device that is already open resets nothing.
    Client second(sim->Path());
    second.ReadFor(400ms);
    EXPECT_EQ(second.Take(), "");
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

TEST(PtyStationTest, InputFraming) {
    auto sim = StartSimulator();
    Client client(sim->Path());
    ASSERT_TRUE(client.ReadUntil("100 Ready\r\n"));
    client.Take();

    const struct {
        const char* what;
        std::vector<std::string> writes;  // sent 50 ms apart
        std::string reply;
    } cases[] = {
        {"line split over writes", {"setLoco", "Speed(4915", "5,7)\n"}, "200 Ok\r\n"},
        {"two lines in one write",
         {"setPower(0)\nsetLocoFunction(49155,61,1)\n"},
         "200 Ok\r\n300 Cmd err\r\n"},
        {"CR only", {"\r\n"}, "301 Stx err\r\n"},
        {"empty line, then a command", {"\n", "setPower(0)\n"}, "200 Ok\r\n"},
        {"overlong line, then a command",
         {std::string("setLocoSpeed(49155,9)") + std::string(60, ' ') + "\n", "setPower(0)\n"},
         "200 Ok\r\n"},
    };
    for (const auto& c : cases) {
        for (const std::string& bytes : c.writes) {
            ASSERT_TRUE(client.Send(bytes));
            std::this_thread::sleep_for(50ms);
        }
        client.ReadUntil(c.reply, 5s);
        client.ReadFor(200ms);
        EXPECT_EQ(client.Take(), c.reply) << c.what;
    }
    EXPECT_EQ(sim->State().locos.at(49155).speed, 7);

    // An incomplete line is forgotten after about 300 ms: the rest is a line of its own.
    ASSERT_TRUE(client.Send("setPow"));
    std::this_thread::sleep_for(700ms);
    ASSERT_TRUE(client.Send("er(1)\n"));
    ASSERT_TRUE(client.ReadUntil("\r\n"));
    EXPECT_EQ(client.Take(), "300 Cmd err\r\n");
    EXPECT_EQ(sim->Commands().back(), "er(1)");
    EXPECT_FALSE(sim->State().power);
}

struct KnobCase {
    const char* what;
    std::function<void(SimOptions&)> set;
    std::string bannerEnd;  // the banner's last bytes
    std::string command;
    std::string reply;  // empty: no answer
};

TEST(PtyStationTest, Knobs) {
    const KnobCase cases[] = {
        {"LF only", [](SimOptions& o) { o.lfOnly = true; }, "OK\n100 Ready\n", "setPower(1)\n",
         "200 Ok\n"},
        {"no ready notice", [](SimOptions& o) { o.sendReady = false; }, "Init SD card...OK\r\n",
         "setPower(1)\n", "200 Ok\r\n"},
        {"garbage line", [](SimOptions& o) { o.garbage = true; }, "100 Ready\r\n", "setPower(1)\n",
         "~#%garbage%#~\r\n200 Ok\r\n"},
        {"status override", [](SimOptions& o) { o.statusFor["setPower"] = 301; }, "100 Ready\r\n",
         "setPower(1)\n", "301 Stx err\r\n"},
        {"status override keeps data lines",
         [](SimOptions& o) { o.statusFor["getLocoConfig"] = 201; }, "100 Ready\r\n",
         "getLocoConfig(49152,1)\n", "@CV,49152,1,3,\r\n201 Err\r\n"},
        {"no answer", [](SimOptions& o) { o.statusFor["setPower"] = 0; }, "100 Ready\r\n",
         "setPower(1)\n", ""},
        {"override for another command", [](SimOptions& o) { o.statusFor["setPing"] = 0; },
         "100 Ready\r\n", "setPower(1)\n", "200 Ok\r\n"},
    };
    for (const KnobCase& c : cases) {
        SimOptions options;
        c.set(options);
        auto sim = StartSimulator(options);
        Client client(sim->Path());
        ASSERT_TRUE(client.ReadUntil(c.bannerEnd)) << c.what;
        client.ReadFor(300ms);
        const std::string banner = client.Take();
        EXPECT_EQ(banner.substr(banner.size() - c.bannerEnd.size()), c.bannerEnd) << c.what;

        ASSERT_TRUE(client.Send(c.command));
        ASSERT_TRUE(sim->WaitForCommands(1, 5s));
        if (!c.reply.empty()) client.ReadUntil(c.reply);
        client.ReadFor(400ms);
        EXPECT_EQ(client.Take(), c.reply) << c.what;
        // The command was carried out whatever the answer.
        EXPECT_EQ(sim->State().power, c.command == "setPower(1)\n") << c.what;
    }
}

TEST(PtyStationTest, StatusAndDelayChangeWhileRunning) {
    auto sim = StartSimulator();
    Client client(sim->Path());
    ASSERT_TRUE(client.ReadUntil("100 Ready\r\n"));
    client.Take();

    sim->SetStatusFor("setPower", 0);
    ASSERT_TRUE(client.Send("setPower(1)\n"));
    client.ReadFor(400ms);
    EXPECT_EQ(client.Take(), "");
    sim->SetStatusFor("setPower", -1);
    ASSERT_TRUE(client.Send("setPower(1)\n"));
    ASSERT_TRUE(client.ReadUntil("\r\n"));
    EXPECT_EQ(client.Take(), "200 Ok\r\n");

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

TEST(PtyStationTest, RealTimings) {
    SimOptions options;
    options.realTimings = true;
    auto sim = StartSimulator(options);
    auto start = Clock::now();
    Client client(sim->Path());
    ASSERT_TRUE(client.ReadUntil("100 Ready\r\n", 10s));
    EXPECT_GE(Clock::now() - start, 1200ms);
    client.Take();

    const struct {
        const char* command;
        const char* first;                 // arrives at once (empty: nothing does)
        std::chrono::milliseconds before;  // least time from the command to the status line
    } cases[] = {
        {"setPower(1)\n", "", 300ms},
        {"setPower(0)\n", "", 0ms},
        {"setLocoConfig(49152,3,5)\n", "@CVWrite,3,5\r\n", 550ms},
        {"getLocoConfig(49152,3)\n", "", 1400ms},
    };
    for (const auto& c : cases) {
        start = Clock::now();
        ASSERT_TRUE(client.Send(c.command));
        if (*c.first != '\0') {
            ASSERT_TRUE(client.ReadUntil(c.first, 10s)) << c.command;
            EXPECT_EQ(client.Take(), c.first);
            EXPECT_LT(Clock::now() - start, 500ms) << c.command;
        }
        ASSERT_TRUE(client.ReadUntil("200 Ok\r\n", 10s)) << c.command;
        EXPECT_GE(Clock::now() - start, c.before) << c.command;
        client.Take();
    }
    EXPECT_EQ(sim->State().cvs.at(3), 5);
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
    client.Send("setPing()\n");
    std::this_thread::sleep_for(100ms);
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
    for (const char* command :
         {"setPower(1)\n", "setTurnout(14336,1)\n", "setLocoFunction(49155,1,1)\n"}) {
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
    EXPECT_TRUE(fresh.locos.empty());
    EXPECT_TRUE(fresh.accessories.empty());
    // The function command's "on" is gone from the argument array: 28 steps, not 14.
    ASSERT_TRUE(client.Send("setLocoSpeed(49156,1023)\n"));
    ASSERT_TRUE(client.ReadUntil("200 Ok\r\n"));
    EXPECT_EQ(sim->State().locos.at(49156).mode, 0);
}

// While the station works on a command its 64-byte buffer takes what arrives; the rest is lost,
// and what was kept is carried out afterwards, in order.
TEST(PtyStationTest, ABusyStationKeepsOnlyWhatFitsItsBuffer) {
    SimOptions options;
    options.realTimings = true;
    auto sim = StartSimulator(options);
    Client client(sim->Path());
    ASSERT_TRUE(client.ReadUntil("100 Ready\r\n", 10s));
    client.Take();
    // Six commands of 32 bytes each behind a CV read: two fit.
    std::string burst = "getLocoConfig(49152,8)\n";
    for (int address = 49155; address <= 49160; ++address)
        burst += "setLocoSpeed(00" + std::to_string(address) + ",001000,2)\r\n";
    ASSERT_TRUE(client.Send(burst));
    ASSERT_TRUE(client.ReadUntil("200 Ok\r\n200 Ok\r\n200 Ok\r\n", 10s)) << client.Take();
    client.Take();
    ASSERT_TRUE(client.Send("setPower(0)\n"));
    ASSERT_TRUE(client.ReadUntil("200 Ok\r\n", 10s));
    EXPECT_EQ(sim->Commands(),
              (std::vector<std::string>{"getLocoConfig(49152,8)", "setLocoSpeed(0049155,001000,2)",
                                        "setLocoSpeed(0049156,001000,2)", "setPower(0)"}));
}

// The station asks for a pause after each "200 Ok" (100 ms; a whole second here, so that the
// test's own delays cannot decide it); a command that comes sooner is counted.
TEST(PtyStationTest, CommandsSoonerThanThePauseAreCounted) {
    SimOptions options;
    options.pacing = 1s;
    auto sim = StartSimulator(options);
    Client client(sim->Path());
    ASSERT_TRUE(client.ReadUntil("100 Ready\r\n"));
    ASSERT_TRUE(client.Send("setPower(0)\n"));
    ASSERT_TRUE(client.ReadUntil("200 Ok\r\n"));
    ASSERT_TRUE(client.Send("setPower(0)\n"));
    ASSERT_TRUE(client.ReadUntil("200 Ok\r\n200 Ok\r\n"));
    EXPECT_EQ(sim->PacingViolations(), 1);
    std::this_thread::sleep_for(1200ms);
    ASSERT_TRUE(client.Send("setPower(0)\n"));
    ASSERT_TRUE(client.ReadUntil("200 Ok\r\n200 Ok\r\n200 Ok\r\n"));
    EXPECT_EQ(sim->PacingViolations(), 1);
}

// A wireless card fitted: a station that hears no command soon after its boot ignores the
// serial line until it resets; one that does keeps listening.
TEST(PtyStationTest, WithAWirelessCardOnlyAnEarlyCommandKeepsTheStationListening) {
    SimOptions options;
    options.listenWindow = 2s;
    auto sim = StartSimulator(options);
    Client client(sim->Path());
    ASSERT_TRUE(client.ReadUntil("100 Ready\r\n"));
    const auto deaf = Clock::now() + 10s;
    while (sim->Listening() && Clock::now() < deaf)
        std::this_thread::sleep_for(10ms);
    ASSERT_FALSE(sim->Listening());

    sim->Reset();
    EXPECT_TRUE(sim->Listening());
    client.Take();
    ASSERT_TRUE(client.ReadUntil("100 Ready\r\n"));
    ASSERT_TRUE(client.Send("setPing()\n"));
    ASSERT_TRUE(client.ReadUntil("200 Ok\r\n"));
    // Well past the window, the station still takes commands.
    client.ReadFor(2500ms);
    client.Take();
    ASSERT_TRUE(client.Send("setPower(1)\n"));
    ASSERT_TRUE(client.ReadUntil("200 Ok\r\n"));
    EXPECT_TRUE(sim->State().power);
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

TEST(PtyStationTest, WaitForCommandsTimesOut) {
    auto sim = StartSimulator();
    const auto start = Clock::now();
    EXPECT_FALSE(sim->WaitForCommands(1, 200ms));
    EXPECT_GE(Clock::now() - start, 190ms);
}

}  // namespace
