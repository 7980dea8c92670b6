// The simulated board's timing and line handling, with the time stepped by the test: no
// pseudo-terminal, no thread, no sleep.
#include "sim/SimBoard.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace std::chrono_literals;
using ms = std::chrono::milliseconds;
using Then = SimBoard::Then;
using State = SimBoard::State;

const std::string kHead = "Desktop Station air\r\nHW: DSair2\r\n-------------\r\nInit SD card...";
const std::string kTail = "OK\r\n100 Ready\r\n";
const std::string kBanner = kHead + kTail;
// The ping's answer from a board opened at 0 ms and asked at t: its status line's counter
// moves every 0.5 s from the banner at 150 ms.
std::string PingReply(ms t) {
    const auto counter = (t - 150ms) / 500ms;
    return "@DSG,00,03,00,02,00,00,00,00\r\n@DSS,N,0,8,0,148,00,2," + std::to_string(counter / 10) +
           std::to_string(counter % 10) + "," + std::string(11, '0') + ";" + std::string(15, '0') +
           ";" + std::string(64, '0') + ";" + std::string(152, '0') + "\r\n200 Ok\r\n";
}
constexpr ms kReady{170};       // the "100 Ready" of a board opened at 0
constexpr ms kRealReady{1500};  // the same with the real device's timings

// An output of the board and when it was handed out, counted from the open.
struct Sent {
    ms at;
    std::string bytes;
    Then then;
};

// A board opened at 0 ms whose time the test moves.
class Board {
public:
    explicit Board(SimOptions options = {}) : board_(std::move(options)) { board_.Opened(start_); }

    // Runs the board to t, stopping at every deadline on the way.
    void RunTo(ms t) {
        const SimBoard::TimePoint end = start_ + t;
        for (;;) {
            const SimBoard::TimePoint due = board_.NextDeadline();
            if (due > end) break;
            // A deadline that Tick does not move would hang the shell's thread.
            stuck_ = due <= now_ ? stuck_ + 1 : 0;
            if (stuck_ > 1000) {
                ADD_FAILURE() << "the deadline does not move past " << Now().count() << " ms";
                break;
            }
            Tick(std::max(now_, due));
        }
        if (end > now_ || !ticked_) Tick(std::max(now_, end));
    }
    // Runs to t, then the opener's bytes arrive.
    void Feed(ms t, const std::string& bytes) {
        RunTo(t);
        board_.Feed(bytes, now_);
    }
    // The bytes handed out since the last call.
    std::string Take() {
        std::string bytes;
        for (; taken_ < sent_.size(); ++taken_)
            bytes += sent_[taken_].bytes;
        return bytes;
    }
    // The outputs since the open.
    const std::vector<Sent>& Outputs() const { return sent_; }
    // The console lines so far, one per line.
    std::string Notes() {
        for (const std::string& note : board_.TakeNotes())
            notes_ += note + "\n";
        return notes_;
    }
    ms Now() const { return std::chrono::duration_cast<ms>(now_ - start_); }
    SimBoard::TimePoint At(ms t) const { return start_ + t; }
    SimBoard* operator->() { return &board_; }

private:
    void Tick(SimBoard::TimePoint now) {
        now_ = now;
        ticked_ = true;
        for (SimBoard::Output& output : board_.Tick(now_))
            sent_.push_back(Sent{Now(), std::move(output.bytes), output.then});
    }

    const SimBoard::TimePoint start_ = SimBoard::TimePoint{} + 1h;
    SimBoard::TimePoint now_ = start_;
    bool ticked_ = false;
    int stuck_ = 0;
    SimBoard board_;
    std::vector<Sent> sent_;
    std::size_t taken_ = 0;
    std::string notes_;
};

SimOptions With(const std::function<void(SimOptions&)>& set) {
    SimOptions options;
    if (set) set(options);
    return options;
}

TEST(SimBoardTest, BootBannerAfterTheOpen) {
    const struct {
        const char* what;
        std::function<void(SimOptions&)> set;
        std::vector<std::pair<ms, std::string>> sent;
    } cases[] = {
        {"default", {}, {{150ms, kHead}, {170ms, kTail}}},
        {"no ready notice",
         [](SimOptions& o) { o.sendReady = false; },
         {{150ms, kHead}, {170ms, "OK\r\n"}}},
        {"LF only",
         [](SimOptions& o) { o.lfOnly = true; },
         {{150ms, "Desktop Station air\nHW: DSair2\n-------------\nInit SD card..."},
          {170ms, "OK\n100 Ready\n"}}},
        {"real timings",
         [](SimOptions& o) { o.realTimings = true; },
         {{1300ms, kHead}, {1500ms, kTail}}},
    };
    for (const auto& c : cases) {
        Board board(With(c.set));
        EXPECT_EQ(board->Current(), State::Booting) << c.what;
        board.RunTo(5s);
        std::vector<std::pair<ms, std::string>> sent;
        for (const Sent& s : board.Outputs()) {
            sent.emplace_back(s.at, s.bytes);
            EXPECT_EQ(s.then, Then::Nothing) << c.what;
        }
        EXPECT_EQ(sent, c.sent) << c.what;
        EXPECT_EQ(board->Current(), State::Ready) << c.what;
        // Nothing left but the main loop's checks, every 0.5 s from the banner.
        const ms banner = c.sent.front().first;
        EXPECT_EQ(board->NextDeadline(), board.At(banner + ((5s - banner) / 500ms + 1) * 500ms))
            << c.what;
        EXPECT_EQ(board->OpenCount(), 1) << c.what;
    }
}

// Until its banner the board is in its reset: what arrives is lost. Its first line counts from
// the banner's first byte, and a reply waits for the ready notice still on its way.
TEST(SimBoardTest, InputBeforeTheBannerIsLost) {
    const struct {
        ms at;
        std::vector<std::string> commands;
        std::vector<std::pair<ms, std::string>> sent;
    } cases[] = {
        {0ms, {}, {{150ms, kHead}, {170ms, kTail}}},
        {149ms, {}, {{150ms, kHead}, {170ms, kTail}}},
        {150ms, {"setPower(1)"}, {{150ms, kHead}, {170ms, kTail}, {170ms, "200 Ok\r\n"}}},
        {200ms, {"setPower(1)"}, {{150ms, kHead}, {170ms, kTail}, {200ms, "200 Ok\r\n"}}},
    };
    for (const auto& c : cases) {
        Board board;
        board.Feed(c.at, "setPower(1)\n");
        board.RunTo(1s);
        std::vector<std::pair<ms, std::string>> sent;
        for (const Sent& s : board.Outputs())
            sent.emplace_back(s.at, s.bytes);
        EXPECT_EQ(sent, c.sent) << c.at.count() << " ms";
        EXPECT_EQ(board->Commands(), c.commands) << c.at.count() << " ms";
        EXPECT_EQ(board->Station().power, !c.commands.empty()) << c.at.count() << " ms";
        if (c.commands.empty()) {
            EXPECT_NE(board.Notes().find("ignored 12 bytes received while booting"),
                      std::string::npos);
        }
    }
}

struct Write {
    ms after;  // from the previous write
    std::string bytes;
};

TEST(SimBoardTest, LineFraming) {
    const std::string overlong = "setLocoSpeed(49155,9)" + std::string(60, ' ') + "\n";
    std::string longest = "setLocoSpeed(49155,7)";
    longest.append(64 - longest.size(), ' ');
    const struct {
        const char* what;
        std::vector<Write> writes;
        std::string reply;
        std::vector<std::string> commands;
        const char* note;  // a console line expected, or null
    } cases[] = {
        {"line split over writes",
         {{0ms, "setLoco"}, {50ms, "Speed(4915"}, {50ms, "5,7)\n"}},
         "200 Ok\r\n",
         {"setLocoSpeed(49155,7)"},
         nullptr},
        {"two lines in one write",
         {{0ms, "setPower(0)\nsetLocoFunction(49155,61,1)\n"}},
         "200 Ok\r\n300 Cmd err\r\n",
         {"setPower(0)", "setLocoFunction(49155,61,1)"},
         nullptr},
        {"CR LF ends a line as LF does",
         {{0ms, "setPower(1)\r\n"}},
         "200 Ok\r\n",
         {"setPower(1)"},
         nullptr},
        {"CR only", {{0ms, "\r\n"}}, "301 Stx err\r\n", {""}, nullptr},
        {"empty line, then a command",
         {{0ms, "\n"}, {50ms, "setPower(0)\n"}},
         "200 Ok\r\n",
         {"setPower(0)"},
         nullptr},
        {"64 bytes fit", {{0ms, longest + "\n"}}, "200 Ok\r\n", {longest}, nullptr},
        {"overlong line, then a command",
         {{0ms, overlong}, {50ms, "setPower(0)\n"}},
         "200 Ok\r\n",
         {"setPower(0)"},
         "line longer than 64 bytes, dropped: setLocoSpeed(49155,9)"},
        {"incomplete line kept 299 ms",
         {{0ms, "setPow"}, {299ms, "er(1)\n"}},
         "200 Ok\r\n",
         {"setPower(1)"},
         nullptr},
        {"incomplete line dropped after 300 ms",
         {{0ms, "setPow"}, {300ms, "er(1)\n"}},
         "300 Cmd err\r\n",
         {"er(1)"},
         "incomplete line dropped: setPow"},
        {"every byte restarts the time-out",
         {{0ms, "set"}, {250ms, "Pow"}, {250ms, "er(1)\n"}},
         "200 Ok\r\n",
         {"setPower(1)"},
         nullptr},
    };
    for (const auto& c : cases) {
        Board board;
        board.RunTo(1s);
        board.Take();
        ms at = 1s;
        for (const Write& write : c.writes) {
            at += write.after;
            board.Feed(at, write.bytes);
        }
        board.RunTo(at + 1s);
        EXPECT_EQ(board.Take(), c.reply) << c.what;
        EXPECT_EQ(board->Commands(), c.commands) << c.what;
        if (c.note != nullptr) {
            EXPECT_NE(board.Notes().find(c.note), std::string::npos) << c.what << board.Notes();
        }
    }
}

// While the station works on a command (here a CV read of 1.6 s), what arrives waits in its
// 64-byte buffer and the rest is lost; what was kept is carried out afterwards, in order.
TEST(SimBoardTest, ABusyStationKeepsSixtyFourBytes) {
    const std::string read = "getLocoConfig(49152,8)\n";
    std::string six;  // six commands of 32 bytes
    for (int address = 49155; address <= 49160; ++address)
        six += "setLocoSpeed(00" + std::to_string(address) + ",001000,2)\r\n";
    const std::string speed = "setLocoSpeed(49155,1,2)\n";  // 24 bytes
    const struct {
        const char* what;
        std::vector<Write> writes;  // the first at 2 s, after the boot
        std::vector<std::string> commands;
        const char* note;
    } cases[] = {
        {"burst behind the command: two of six fit",
         {{0ms, read + six}},
         {"getLocoConfig(49152,8)", "setLocoSpeed(0049155,001000,2)",
          "setLocoSpeed(0049156,001000,2)"},
         "lost 128 bytes: the station is busy and its 64-byte buffer is full"},
        {"exactly 64 bytes in two writes",
         {{0ms, read}, {100ms, six.substr(0, 32)}, {100ms, six.substr(32, 32)}},
         {"getLocoConfig(49152,8)", "setLocoSpeed(0049155,001000,2)",
          "setLocoSpeed(0049156,001000,2)"},
         nullptr},
        {"a line cut by the full buffer is an incomplete line",
         {{0ms, read}, {100ms, speed + speed}, {100ms, speed}},
         {"getLocoConfig(49152,8)", "setLocoSpeed(49155,1,2)", "setLocoSpeed(49155,1,2)"},
         "incomplete line dropped: setLocoSpeed(491"},
    };
    for (const auto& c : cases) {
        Board board(With([](SimOptions& o) { o.realTimings = true; }));
        board.RunTo(2s);
        board.Take();
        ms at = 2s;
        for (const Write& write : c.writes) {
            at += write.after;
            board.Feed(at, write.bytes);
            EXPECT_EQ(board->Current(), State::Busy) << c.what;
        }
        // Nothing of what waits runs before the read's answer.
        board.RunTo(3599ms);
        EXPECT_EQ(board->Commands().size(), 1u) << c.what;
        EXPECT_EQ(board.Take(), "") << c.what;
        board.RunTo(5s);
        EXPECT_EQ(board->Commands(), c.commands) << c.what;
        std::string replies = "@CV,49152,8,13,\r\n200 Ok\r\n";
        for (std::size_t i = 1; i < c.commands.size(); ++i)
            replies += "200 Ok\r\n";
        EXPECT_EQ(board.Take(), replies) << c.what;
        if (c.note != nullptr) {
            EXPECT_NE(board.Notes().find(c.note), std::string::npos) << c.what << board.Notes();
        } else {
            EXPECT_EQ(board.Notes().find("lost"), std::string::npos) << c.what;
        }
    }

    // A station without work to do takes the same burst whole.
    Board quick;
    quick.Feed(1s, read + six);
    quick.RunTo(2s);
    EXPECT_EQ(quick->Commands().size(), 7u);
}

TEST(SimBoardTest, RealTimingsDelayTheAnswer) {
    const struct {
        const char* command;
        std::vector<std::pair<ms, std::string>> sent;  // from the command
    } cases[] = {
        {"setPower(1)\n", {{360ms, "200 Ok\r\n"}}},
        {"setPower(0)\n", {{0ms, "200 Ok\r\n"}}},
        {"setLocoConfig(49152,3,5)\n", {{0ms, "@CVWrite,3,5\r\n"}, {650ms, "200 Ok\r\n"}}},
        {"getLocoConfig(49152,3)\n", {{1600ms, "@CV,49152,3,3,\r\n200 Ok\r\n"}}},
        {"getLocoConfig(49152,300)\n", {{5000ms, "@CV,49152,300,65535,\r\n200 Ok\r\n"}}},
    };
    for (const auto& c : cases) {
        Board board(With([](SimOptions& o) { o.realTimings = true; }));
        board.Feed(2s, c.command);
        board.RunTo(10s);
        std::vector<std::pair<ms, std::string>> sent;
        for (const Sent& s : board.Outputs()) {
            if (s.at >= 2s) sent.emplace_back(s.at - 2s, s.bytes);
        }
        EXPECT_EQ(sent, c.sent) << c.command;
    }
}

// With its wireless card fitted the station listens to the serial line only if a line comes
// within the window after its ready notice.
TEST(SimBoardTest, ListeningWindow) {
    const ms window = 2s;
    const ms closes = kReady + window;
    const struct {
        const char* what;
        std::vector<std::pair<ms, std::string>> writes;  // at, from the open
        bool listening;
    } cases[] = {
        {"nothing comes", {}, false},
        {"a command just in time", {{closes - 1ms, "setPing()\n"}}, true},
        {"a command just too late", {{closes, "setPing()\n"}}, false},
        {"a refused line", {{1s, "hello()\n"}}, true},
        {"an overlong line", {{1s, std::string(70, 'x') + "\n"}}, true},
        {"an empty line is no line", {{1s, "\n"}}, false},
        {"bytes without a line end", {{1s, "setPing()"}}, false},
    };
    for (const auto& c : cases) {
        Board board(With([window](SimOptions& o) { o.listenWindow = window; }));
        for (const auto& [at, bytes] : c.writes)
            board.Feed(at, bytes);
        board.RunTo(closes + 1s);
        EXPECT_EQ(board->Listening(), c.listening) << c.what;
        board.Take();
        const std::size_t before = board->Commands().size();
        board.Feed(10s, "setPower(1)\n");
        board.RunTo(11s);
        EXPECT_EQ(board.Take(), c.listening ? "200 Ok\r\n" : "") << c.what;
        EXPECT_EQ(board->Commands().size(), before + (c.listening ? 1 : 0)) << c.what;
        EXPECT_EQ(board->Station().power, c.listening) << c.what;
        if (!c.listening) {
            EXPECT_NE(board.Notes().find("not listening to the serial line until the next reset"),
                      std::string::npos)
                << c.what;
        }
    }

    // A reset listens again, with a window of its own.
    Board board(With([window](SimOptions& o) { o.listenWindow = window; }));
    board.RunTo(5s);
    ASSERT_FALSE(board->Listening());
    board->Reset(board.At(5s));
    EXPECT_TRUE(board->Listening());
    board.Feed(5s + kReady + 1s, "setPower(1)\n");
    board.RunTo(10s);
    EXPECT_TRUE(board->Listening());
    EXPECT_TRUE(board->Station().power);

    // Without a card there is no window.
    Board plain;
    plain.RunTo(60s);
    EXPECT_TRUE(plain->Listening());
}

// The station asks for a pause after each "200 Ok"; a command that comes sooner is counted.
TEST(SimBoardTest, CommandsSoonerThanThePauseAreCounted) {
    const struct {
        const char* what;
        std::function<void(SimOptions&)> set;
        std::vector<std::pair<ms, std::string>> writes;  // at, from the open
        int violations;
        std::size_t commands;
    } cases[] = {
        {"the first command after the ready notice", {}, {{kReady, "setPower(0)\n"}}, 0, 1},
        {"99 ms after an Ok", {}, {{1s, "setPower(0)\n"}, {1099ms, "setPower(0)\n"}}, 1, 2},
        {"100 ms after an Ok", {}, {{1s, "setPower(0)\n"}, {1100ms, "setPower(0)\n"}}, 0, 2},
        {"each of two lines in one write",
         {},
         {{1s, "setPower(0)\n"}, {1010ms, "setPower(0)\nsetPower(0)\n"}},
         2,
         3},
        {"after a refusal, which is no Ok",
         {},
         {{1s, "hello()\n"}, {1010ms, "setPower(0)\n"}},
         0,
         2},
        {"an Ok overridden to another status is no Ok",
         [](SimOptions& o) { o.statusFor["setPower"] = 301; },
         {{1s, "setPower(0)\n"}, {1010ms, "setPower(0)\n"}},
         0,
         2},
        // The second line is late for the Ok at 1030 ms; the third waited in the buffer and is
        // read at 1080 ms, when the station is done, which is no fault of the sender's.
        {"a line that waited while the station was busy",
         [](SimOptions& o) { o.replyDelay = 30ms; },
         {{1s, "setPower(0)\n"}, {1050ms, "setPower(0)\n"}, {1060ms, "setPower(0)\n"}},
         1,
         3},
        {"the pause is an option",
         [](SimOptions& o) { o.pacing = 1s; },
         {{1s, "setPower(0)\n"}, {1900ms, "setPower(0)\n"}},
         1,
         2},
    };
    for (const auto& c : cases) {
        Board board(With(c.set));
        for (const auto& [at, bytes] : c.writes)
            board.Feed(at, bytes);
        board.RunTo(5s);
        EXPECT_EQ(board->PacingViolations(), c.violations) << c.what;
        EXPECT_EQ(board->Commands().size(), c.commands) << c.what;
    }

    Board board;
    board.Feed(1s, "setPower(0)\n");
    board.Feed(1050ms, "setPower(0)\n");
    EXPECT_NE(board.Notes().find(
                  "a command came 50 ms after the last \"200 Ok\" (the station asks for 100 ms)"),
              std::string::npos);
}

// Every byte in a write of its own, a millisecond apart, across the lines and chunks too.
TEST(SimBoardTest, ByteByByteDelivery) {
    Board board(With([](SimOptions& o) { o.byteByByte = true; }));
    board.RunTo(1s);
    board.Feed(1s, "setPower(1)\n");
    board.RunTo(2s);
    const std::vector<Sent>& sent = board.Outputs();
    std::string bytes;
    for (const Sent& s : sent)
        bytes += s.bytes;
    EXPECT_EQ(bytes, kBanner + "200 Ok\r\n");
    ASSERT_EQ(sent.size(), bytes.size());
    EXPECT_EQ(sent.front().at, 150ms);
    for (std::size_t i = 1; i < kBanner.size(); ++i)
        EXPECT_EQ(sent[i].at - sent[i - 1].at, 1ms) << "byte " << i;
    EXPECT_EQ(sent[kBanner.size()].at, 1s);
}

// The fault scripts: what the port does once a reply is out.
TEST(SimBoardTest, FaultScriptsAfterTheNthAnswer) {
    const struct {
        const char* what;
        std::function<void(SimOptions&)> set;
        int commands;                    // setPower(1), one a second from 1 s
        std::vector<std::string> bytes;  // what follows the banner
        std::vector<Then> thens;
        State state;
    } cases[] = {
        {"hang up after the banner",
         [](SimOptions& o) { o.hangUpAfter = 0; },
         1,
         {},
         {},
         State::Gone},
        {"hang up after 2",
         [](SimOptions& o) { o.hangUpAfter = 2; },
         3,
         {"200 Ok\r\n", "200 Ok\r\n"},
         {Then::Nothing, Then::HangUp},
         State::Gone},
        {"hang up after an unanswered command",
         [](SimOptions& o) {
             o.hangUpAfter = 1;
             o.statusFor["setPower"] = 0;
         },
         2,
         {""},
         {Then::HangUp},
         State::Gone},
        {"reset after 1",
         [](SimOptions& o) { o.resetAfter = 1; },
         1,
         {"200 Ok\r\n", kHead, kTail},
         {Then::Reset, Then::Nothing, Then::Nothing},
         State::Ready},
        {"stop reading after 2",
         [](SimOptions& o) { o.stopReadingAfter = 2; },
         2,
         {"200 Ok\r\n", "200 Ok\r\n"},
         {Then::Nothing, Then::StopReading},
         State::Ready},
    };
    for (const auto& c : cases) {
        Board board(With(c.set));
        for (int i = 1; i <= c.commands; ++i)
            board.Feed(ms(1000 * i), "setPower(1)\n");
        board.RunTo(ms(1000 * c.commands + 500));
        std::vector<std::string> bytes;
        std::vector<Then> thens;
        for (std::size_t i = 2; i < board.Outputs().size(); ++i) {
            bytes.push_back(board.Outputs()[i].bytes);
            thens.push_back(board.Outputs()[i].then);
        }
        EXPECT_EQ(bytes, c.bytes) << c.what;
        EXPECT_EQ(thens, c.thens) << c.what;
        EXPECT_EQ(board->Current(), c.state) << c.what;
    }

    // The banner's own end carries the hang-up when it comes after 0 commands.
    Board banner(With([](SimOptions& o) { o.hangUpAfter = 0; }));
    banner.RunTo(1s);
    ASSERT_EQ(banner.Outputs().size(), 2u);
    EXPECT_EQ(banner.Outputs()[1].then, Then::HangUp);
    EXPECT_NE(banner.Notes().find("hung up: the device is gone"), std::string::npos);

    // A reset forgets the station's state; the board reads again after its new banner.
    Board reset(With([](SimOptions& o) { o.resetAfter = 1; }));
    reset.Feed(1s, "setPower(1)\n");
    reset.RunTo(1s + 149ms);
    EXPECT_FALSE(reset->Station().power);
    EXPECT_EQ(reset->Current(), State::Booting);
}

// A vanished device comes back after replugAfter: the board asks the port to plug it in.
TEST(SimBoardTest, UnpluggedAndPluggedInAgain) {
    const struct {
        ms replugAfter;
        bool plugIn;
    } cases[] = {{ms(-1), false}, {0ms, true}, {500ms, true}};
    for (const auto& c : cases) {
        Board board(With([&c](SimOptions& o) { o.replugAfter = c.replugAfter; }));
        board.Feed(1s, "setPower(1)\n");
        board.RunTo(1100ms);
        board->Unplugged(board.At(1100ms));
        EXPECT_EQ(board->Current(), State::Gone);
        board.Feed(1200ms, "setPower(0)\n");  // nothing arrives from a gone device
        board.RunTo(5s);
        std::vector<ms> plugIns;
        for (const Sent& s : board.Outputs()) {
            if (s.then == Then::PlugIn) plugIns.push_back(s.at);
        }
        EXPECT_EQ(plugIns, c.plugIn ? std::vector<ms>{1100ms + c.replugAfter} : std::vector<ms>{})
            << c.replugAfter.count();
        // The station keeps its state while gone; plugged in again it starts afresh.
        EXPECT_TRUE(board->Station().power);
        board->PluggedIn();
        EXPECT_EQ(board->Current(), State::Closed);
        EXPECT_FALSE(board->Station().power);
        EXPECT_EQ(board->Commands(), std::vector<std::string>{"setPower(1)"});
    }
}

TEST(SimBoardTest, RepliesFollowTheKnobs) {
    const struct {
        const char* what;
        std::function<void(SimOptions&)> set;
        const char* command;
        ms at;  // of the reply, from the command
        std::string reply;
    } cases[] = {
        {"normal", {}, "setPower(1)\n", 0ms, "200 Ok\r\n"},
        {"LF only", [](SimOptions& o) { o.lfOnly = true; }, "setPower(1)\n", 0ms, "200 Ok\n"},
        {"LF only, several lines", [](SimOptions& o) { o.lfOnly = true; },
         "getLocoConfig(49152,1)\n", 0ms, "@CV,49152,1,3,\n200 Ok\n"},
        {"garbage line", [](SimOptions& o) { o.garbage = true; }, "setPower(1)\n", 0ms,
         "~#%garbage%#~\r\n200 Ok\r\n"},
        {"status override", [](SimOptions& o) { o.statusFor["setPower"] = 301; }, "setPower(1)\n",
         0ms, "301 Stx err\r\n"},
        {"status override keeps data lines",
         [](SimOptions& o) { o.statusFor["getLocoConfig"] = 201; }, "getLocoConfig(49152,1)\n", 0ms,
         "@CV,49152,1,3,\r\n201 Err\r\n"},
        {"no answer", [](SimOptions& o) { o.statusFor["setPower"] = 0; }, "setPower(1)\n", 0ms, ""},
        {"override for another command", [](SimOptions& o) { o.statusFor["setPing"] = 0; },
         "setPower(1)\n", 0ms, "200 Ok\r\n"},
        {"reply delay", [](SimOptions& o) { o.replyDelay = 300ms; }, "setPower(1)\n", 300ms,
         "200 Ok\r\n"},
    };
    for (const auto& c : cases) {
        Board board(With(c.set));
        board.Feed(1s, c.command);
        board.RunTo(3s);
        std::string reply;
        for (const Sent& s : board.Outputs()) {
            if (s.at < 1s) continue;
            EXPECT_EQ(s.at, 1s + c.at) << c.what;
            reply += s.bytes;
        }
        EXPECT_EQ(reply, c.reply) << c.what;
        // The command was carried out whatever the answer.
        EXPECT_EQ(board->Station().power, std::string(c.command) == "setPower(1)\n") << c.what;
    }

    // Knobs turned while running.
    Board board;
    board->SetStatusFor("setPower", 0);
    board.Feed(1s, "setPower(1)\n");
    board->SetStatusFor("setPower", -1);
    board->SetReplyDelay(200ms);
    board.Feed(2s, "setPower(0)\n");
    board.RunTo(3s);
    ASSERT_EQ(board.Outputs().size(), 3u);
    EXPECT_EQ(board.Outputs()[2].at, 2200ms);
    EXPECT_EQ(board.Outputs()[2].bytes, "200 Ok\r\n");
}

// The opener's close drops what was on its way; the next open resets the station and sends
// what was written to the line meanwhile before the banner.
TEST(SimBoardTest, CloseAndOpenAgain) {
    Board board(With([](SimOptions& o) { o.replyDelay = 500ms; }));
    board.Feed(1s, "setPower(1)\n");
    board.RunTo(1200ms);
    board->Closed();
    EXPECT_EQ(board->Current(), State::Closed);
    EXPECT_TRUE(board->Station().power);  // a close is no reset
    board->SendRaw("200 stale\r\n", board.At(1300ms));
    board.RunTo(2s);
    board.Take();
    board->Opened(board.At(2s));
    board.RunTo(3s);
    EXPECT_EQ(board.Take(), "200 stale\r\n" + kBanner);
    EXPECT_FALSE(board->Station().power);
    EXPECT_EQ(board->OpenCount(), 2);
    EXPECT_EQ(board->Commands(), std::vector<std::string>{"setPower(1)"});

    // A reset while closed forgets the station and stays closed.
    board.Feed(4s, "setPower(1)\n");
    board.RunTo(5s);
    ASSERT_TRUE(board->Station().power);
    board->Closed();
    board->Reset(board.At(5s));
    EXPECT_EQ(board->Current(), State::Closed);
    EXPECT_FALSE(board->Station().power);
    board.RunTo(10s);
    EXPECT_EQ(board.Take(), "200 Ok\r\n");
}

// A line lost on the way, as noise on the line loses one: the station neither carries it out
// nor answers it, and for the station it never came (no pacing, no listening, no count).
TEST(SimBoardTest, LinesLostOnTheLine) {
    const struct {
        const char* what;
        std::map<std::string, int> lose;
        std::vector<std::string> lines;  // a second apart from 1 s
        std::string replies;
        std::vector<std::string> lost;
        bool power;
    } cases[] = {
        {"the next one of its name",
         {{"setPower", 1}},
         {"setPing()", "setPower(1)", "setPower(1)"},
         PingReply(1s) + "200 Ok\r\n",
         {"setPower(1)"},
         true},
        {"the next two",
         {{"setPower", 2}},
         {"setPower(1)", "setPower(1)", "setPower(1)"},
         "200 Ok\r\n",
         {"setPower(1)", "setPower(1)"},
         true},
        {"a stop that never arrives",
         {{"setPower", 1}},
         {"setPower(0)"},
         "",
         {"setPower(0)"},
         false},
        {"with CR LF", {{"setPower", 1}}, {"setPower(1)\r"}, "", {"setPower(1)"}, false},
        {"names match exactly",
         {{"setpower", 1}, {"setPower(1)", 1}, {"setPow", 1}},
         {"setPower(1)"},
         "200 Ok\r\n",
         {},
         true},
        {"each name its own count",
         {{"setPower", 1}, {"setPing", 1}},
         {"setPing()", "setPower(1)", "setPing()"},
         PingReply(3s),
         {"setPing()", "setPower(1)"},
         false},
    };
    for (const auto& c : cases) {
        Board board(With([&c](SimOptions& o) { o.lose = c.lose; }));
        board.RunTo(1s);
        board.Take();
        ms at = 1s;
        for (const std::string& line : c.lines) {
            board.Feed(at, line + "\n");
            at += 1s;
        }
        board.RunTo(at);
        EXPECT_EQ(board.Take(), c.replies) << c.what;
        EXPECT_EQ(board->LostLines(), c.lost) << c.what;
        EXPECT_EQ(board->Commands().size(), c.lines.size() - c.lost.size()) << c.what;
        EXPECT_EQ(board->Station().power, c.power) << c.what;
    }

    // Lost in the time the station asks for after an Ok: not counted, as it never came.
    Board board(With([](SimOptions& o) { o.listenWindow = 2s; }));
    board->LoseNext("setPower", 1);
    board.Feed(1s, "setPower(0)\n");
    board.RunTo(1200ms);
    EXPECT_NE(
        board.Notes().find("lost on the line (neither carried out nor answered): setPower(0)"),
        std::string::npos);
    // Nor does it keep a station with a wireless card listening.
    board.RunTo(5s);
    EXPECT_FALSE(board->Listening());

    Board paced;
    paced.Feed(1s, "setPower(0)\n");
    paced->LoseNext("setPower", 1);
    paced.Feed(1010ms, "setPower(0)\n");
    paced->LoseNext("setPower", 0);  // nothing pending any more: no effect
    paced.Feed(1500ms, "setPower(1)\n");
    paced.RunTo(2s);
    EXPECT_EQ(paced->PacingViolations(), 0);
    EXPECT_TRUE(paced->Station().power);

    // A script counts answered commands only: the lost line is not one of them.
    Board scripted(With([](SimOptions& o) {
        o.hangUpAfter = 2;
        o.lose["setPower"] = 1;
    }));
    for (int i = 1; i <= 3; ++i)
        scripted.Feed(ms(1000 * i), "setPower(1)\n");
    scripted.RunTo(3500ms);
    EXPECT_EQ(scripted->Current(), State::Gone);
    EXPECT_EQ(scripted->Commands().size(), 2u);
}

// The station's refresh runs on the board's time: an accessory's packet goes out after a
// round, and its entry leaves after two, without a command to move it.
TEST(SimBoardTest, TheRefreshRunsOnTheBoardsTime) {
    Board board;
    board.Feed(1s, "setPower(1)\nsetTurnout(14336,1)\n");
    board.RunTo(1s);  // the replies
    const auto round = StationModel::Round(2);
    EXPECT_EQ(board->NextDeadline(), board.At(1s) + round);
    board.RunTo(1s + std::chrono::duration_cast<ms>(round) - 1ms);
    EXPECT_TRUE(board->Station().accessoryDecoders.empty());
    board.RunTo(1s + std::chrono::duration_cast<ms>(round) + 1ms);
    EXPECT_EQ(board->Station().accessoryDecoders.at(0), 1);
    EXPECT_EQ(board->Station().list.size(), 2u);
    board.RunTo(1s + std::chrono::duration_cast<ms>(2 * round) + 1ms);
    EXPECT_EQ(board->Station().list.size(), 1u);
    EXPECT_EQ(board->NextDeadline(), board.At(1150ms));  // the next check

    // The station's console lines follow the command that caused them.
    Board full;
    std::string lines = "setPower(1)\nsetLocoSpeed(49155,504,0)\n";
    for (int address = 49156; address <= 49175; ++address)
        lines += "setLocoDirection(" + std::to_string(address) + ",1)\n";
    full.Feed(1s, lines);
    const std::string notes = full.Notes();
    const std::size_t command = notes.find("setLocoDirection(49175,1)  -> loco 23");
    ASSERT_NE(command, std::string::npos) << notes;
    EXPECT_EQ(notes.find("list full: loco 23 overwrites the entry of loco 3", command),
              notes.find('\n', command) + 1)
        << notes;
}

// The status line's counter moves every 0.5 s from the banner while the main loop runs, and
// waits while the station works on a command (here a CV read of 1.6 s, from 2.0 s to 3.6 s).
TEST(SimBoardTest, TheMainLoopChecksEveryHalfSecond) {
    const struct {
        const char* what;
        bool busy;
        ms ping;
        int counter;
    } cases[] = {
        {"at the banner", false, kRealReady, 0},
        {"just before the second check", false, 1799ms, 0},
        {"at the second check", false, 1800ms, 1},
        {"idle for a while", false, 4200ms, 5},
        {"after a busy spell", true, 4200ms, 3},  // checks at 1.3, 1.8, 3.6 and 4.1 s
    };
    for (const auto& c : cases) {
        Board board(With([](SimOptions& o) { o.realTimings = true; }));
        if (c.busy) board.Feed(2s, "getLocoConfig(49152,1)\n");
        board.RunTo(c.ping);
        board.Take();
        board.Feed(c.ping, "setPing()\n");
        board.RunTo(c.ping + 1ms);
        const std::string reply = board.Take();
        ASSERT_EQ(reply.rfind("@DSG", 0), 0u) << c.what;
        EXPECT_EQ(reply.substr(reply.find("@DSS,") + 5 + 17, 2),
                  std::to_string(c.counter / 10) + std::to_string(c.counter % 10))
            << c.what;
    }
}

// The station switches the track off by itself at its next check: a short circuit (by the
// call, or SimOptions::shortAfter after the first power on) or a supply out of range. It sends
// nothing on the serial line.
TEST(SimBoardTest, TheTrackTripsAtTheNextCheck) {
    const struct {
        const char* what;
        std::function<void(SimOptions&)> set;
        std::function<void(Board&)> cause;  // at 1 s, the track on since 500 ms
        ms tripped;                         // the check that trips it; 0: none by 10 s
        int error;
    } cases[] = {
        {"nothing wrong", {}, {}, 0ms, 1},
        {"a short", {}, [](Board& b) { b->ShortCircuit(); }, 1150ms, 8},
        {"the supply falls", {}, [](Board& b) { b->SetSupplyVoltage(8.7); }, 1150ms, 2},
        {"the supply rises", {}, [](Board& b) { b->SetSupplyVoltage(24); }, 1150ms, 4},
        {"a short 1 s after power on", [](SimOptions& o) { o.shortAfter = 1s; }, {}, 1650ms, 8},
        {"a short due at a check's time",
         [](SimOptions& o) { o.shortAfter = 650ms; },
         {},
         1150ms,
         8},
    };
    for (const auto& c : cases) {
        Board board(With(c.set));
        board.Feed(500ms, "setPower(1)\n");
        board.RunTo(1s);
        board.Take();
        if (c.cause) c.cause(board);
        if (c.tripped.count() == 0) {
            board.RunTo(10s);
            EXPECT_TRUE(board->Station().power) << c.what;
        } else {
            board.RunTo(c.tripped - 1ms);
            EXPECT_TRUE(board->Station().power) << c.what;
            board.RunTo(c.tripped);
            EXPECT_FALSE(board->Station().power) << c.what;
            EXPECT_FALSE(board->Station().reportedPower) << c.what;
            EXPECT_NE(board.Notes().find("the station switched the track off by itself"),
                      std::string::npos)
                << c.what;
        }
        EXPECT_EQ(board->Station().error, c.error) << c.what;
        EXPECT_EQ(board.Take(), "") << c.what;  // not a word on the serial line
    }

    // --short-after is one short: the track switched on again stays on.
    Board once(With([](SimOptions& o) { o.shortAfter = 1s; }));
    once.Feed(500ms, "setPower(1)\n");
    once.Feed(3s, "setPower(1)\n");
    once.RunTo(10s);
    EXPECT_TRUE(once->Station().power);
    EXPECT_EQ(once->Station().trips, 1);

    // Its time counts from the first power on; a track off by then trips when it is on again.
    Board off(With([](SimOptions& o) { o.shortAfter = 1s; }));
    off.Feed(500ms, "setPower(1)\n");
    off.Feed(1s, "setPower(0)\n");
    off.Feed(4s, "setPower(1)\n");
    off.RunTo(4149ms);
    EXPECT_TRUE(off->Station().power);
    off.RunTo(4150ms);
    EXPECT_FALSE(off->Station().power);
    EXPECT_EQ(off->Station().error, 8);

    // A supply too low from the start shows in the first answer to a ping.
    Board low(With([](SimOptions& o) { o.supplyVoltage = 8.0; }));
    low.Feed(kReady, "setPing()\n");
    low.RunTo(1s);
    EXPECT_NE(low.Take().find("@DSS,N,2,8,0,080,00,2,00,"), std::string::npos);
}

}  // namespace
