#include "protocol/LocoWishes.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <deque>
#include <map>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = LocoWishes::Clock;
using Command = LocoWishes::Command;
using Calls = std::vector<std::string>;

// What goes out, as the station link writes it (address + 49152, direction 1 forward / 2
// reverse, accessory base 0x3800), and the barriers by their letter.
std::string Text(const Command& command) {
    const std::string key = std::to_string(49152 + command.number);
    switch (command.kind) {
        case Command::Kind::Direction:
            return "setLocoDirection(" + key + (command.direction ? ",1)" : ",2)");
        case Command::Kind::Speed:
            return "setLocoSpeed(" + key + "," + std::to_string(command.speed) + "," +
                   std::to_string(static_cast<int>(command.mode)) + ")";
        case Command::Kind::Function:
            return "setLocoFunction(" + key + "," + std::to_string(command.function) +
                   (command.on ? ",1)" : ",0)");
        case Command::Kind::Turnout:
            return "setTurnout(" + std::to_string(0x3800 + command.number) +
                   (command.on ? ",1)" : ",0)");
    }
    return "?";
}

std::string Dir(int key, bool forward) {
    return Text({Command::Kind::Direction, key, static_cast<std::uint8_t>(forward ? 1 : 0)});
}
std::string Spd(int key, int speed, int mode = 2) {
    Command command{Command::Kind::Speed, key};
    command.speed = speed;
    command.mode = static_cast<SpeedMode>(mode);
    return Text(command);
}
std::string Fn(int key, int function, bool on) {
    Command command{Command::Kind::Function, key};
    command.function = function;
    command.on = on;
    return Text(command);
}
std::string To(int output, bool thrown) {
    Command command{Command::Kind::Turnout, output};
    command.on = thrown;
    return Text(command);
}

// Feeds LocoWishes a script of wishes, barriers and station events, carries out the steps it
// asks for with the answers scripted, and records what went out. The script's words:
//   Q key f|r speed [28]    a speed wish (128 steps unless 28)
//   F key first bits        a function group, bits as '1'/'0' from function first up
//   T output 0|1            a turnout
//   E | K | B               track power on (PowerOn), off (Urgent), another barrier (InLine)
//   D key                   forget key's wishes
//   fresh                   the station booted
//   run | step N            carry out steps until idle, or N steps
//   answer outcome...       the next answers: done, refused, unknown, notsent
//   wait MS                 the time moves on
class Driver {
public:
    explicit Driver(const std::vector<std::string>& script) {
        for (const std::string& line : script)
            Do(line);
    }

    Calls out;
    std::vector<std::string> notices;
    LocoWishes wishes;

private:
    void Do(const std::string& line) {
        std::istringstream in(line);
        std::string word;
        in >> word;
        if (word == "Q") {
            SpeedWish wish;
            std::string direction, mode;
            in >> wish.key >> direction >> wish.speed >> mode;
            wish.direction = direction == "f" ? 1 : 0;
            wish.mode = mode == "28" ? SpeedMode::Steps28 : SpeedMode::Steps128;
            wishes.Speed(wish);
        } else if (word == "F") {
            FunctionWish wish;
            std::string bits;
            in >> wish.key >> wish.first >> bits;
            wish.count = static_cast<int>(bits.size());
            for (std::size_t i = 0; i < bits.size(); ++i)
                wish.states[i] = bits[i] == '1' ? 1 : 0;
            wishes.Functions(wish);
        } else if (word == "T") {
            TurnoutWish wish;
            int coil = 0;
            in >> wish.output >> coil;
            wish.thrown = coil != 0;
            wishes.Turnout(wish);
        } else if (word == "E" || word == "K" || word == "B") {
            const auto order = word == "E"   ? LocoWishes::Order::PowerOn
                               : word == "K" ? LocoWishes::Order::Urgent
                                             : LocoWishes::Order::InLine;
            std::vector<std::uint64_t> withdrawn;
            labels_[wishes.Barrier(order, &withdrawn)] = word;
            for (const std::uint64_t id : withdrawn)
                out.push_back("withdrawn " + labels_[id]);
        } else if (word == "D") {
            int key = 0;
            in >> key;
            labels_[wishes.Forget(key)] = "D " + std::to_string(key);
        } else if (word == "fresh") {
            wishes.FreshStation(now_);
        } else if (word == "run" || word == "step") {
            int steps = 1000;
            if (word == "step") in >> steps;
            Run(steps);
        } else if (word == "answer") {
            while (in >> word) {
                answers_.push_back(word == "done"      ? CommandOutcome::Done
                                   : word == "refused" ? CommandOutcome::Refused
                                   : word == "unknown" ? CommandOutcome::Unknown
                                                       : CommandOutcome::NotSent);
            }
        } else if (word == "wait") {
            int ms = 0;
            in >> ms;
            now_ += std::chrono::milliseconds(ms);
        } else {
            ADD_FAILURE() << "unknown script line: " << line;
        }
    }

    void Run(int steps) {
        for (int i = 0; i < steps; ++i) {
            const LocoWishes::Step step = wishes.Next(now_);
            for (std::string& notice : wishes.TakeNotices())
                notices.push_back(std::move(notice));
            switch (step.kind) {
                case LocoWishes::Step::Kind::Idle:
                    return;
                case LocoWishes::Step::Kind::Greet:
                    out.push_back("greet");
                    wishes.Wrote(now_);
                    break;
                case LocoWishes::Step::Kind::Watch:
                    out.push_back("watch");
                    now_ += 100ms;
                    wishes.Watched(WatchAnswer(), now_);
                    break;
                case LocoWishes::Step::Kind::Barrier:
                    out.push_back(labels_[step.barrier]);
                    now_ += 100ms;
                    wishes.Wrote(now_);
                    break;
                case LocoWishes::Step::Kind::Write: {
                    out.push_back(Text(step.command));
                    CommandOutcome outcome = CommandOutcome::Done;
                    if (!answers_.empty()) {
                        outcome = answers_.front();
                        answers_.pop_front();
                    }
                    now_ += 100ms;  // the station's answer and pause
                    wishes.Record(step.command, outcome, now_);
                    break;
                }
            }
        }
    }

    CommandOutcome WatchAnswer() {
        if (answers_.empty()) return CommandOutcome::Done;
        const CommandOutcome outcome = answers_.front();
        answers_.pop_front();
        return outcome;
    }

    Clock::time_point now_ = Clock::time_point{} + 1h;
    std::deque<CommandOutcome> answers_;
    std::map<std::uint64_t, std::string> labels_;
};

struct OrderCase {
    const char* name;
    std::vector<std::string> script;
    Calls out;
};

void PrintTo(const OrderCase& c, std::ostream* os) {
    *os << c.name;
}

class Order : public ::testing::TestWithParam<OrderCase> {};

TEST_P(Order, WritesWhatDiffersInItsOrder) {
    const OrderCase& c = GetParam();
    Driver driver(c.script);
    EXPECT_EQ(driver.out, c.out);
}

// Only what differs from what the station holds: a fresh station has locomotive 3 standing
// forward in 28 steps and no other entry; an entry made by a direction or a function command
// has speed 0 and every function off.
const OrderCase kExactState[] = {
    {"the boot entry needs no direction", {"Q 3 f 28", "run"}, {Spd(3, 28)}},
    {"a new locomotive gets its direction first", {"Q 5 r 28", "run"}, {Dir(5, false), Spd(5, 28)}},
    {"a repeated speed sends nothing",
     {"Q 5 f 28", "run", "Q 5 f 28", "run"},
     {Dir(5, true), Spd(5, 28)}},
    {"a stop goes out every time", {"Q 3 f 0", "run", "Q 3 f 0", "run"}, {Spd(3, 0), Spd(3, 0)}},
    {"a mode change at the same speed is a change",
     {"Q 3 f 1", "run", "Q 3 f 1 28", "run"},
     {Spd(3, 1), Spd(3, 1, 0)}},
    {"a reversal stops on the station, so the speed follows",
     {"Q 3 f 28", "run", "Q 3 r 28", "run"},
     {Spd(3, 28), Dir(3, false), Spd(3, 28)}},
    {"taking a throttle sends only the functions that are on",
     {"F 7 0 10000", "F 7 5 0000", "F 7 9 0000", "F 7 13 00000000", "F 7 21 00000000", "run"},
     {Fn(7, 0, true)}},
    {"functions already off on the boot entry need nothing", {"F 3 0 00000", "run"}, {}},
    {"a function switched off again",
     {"F 3 0 10000", "run", "F 3 0 00000", "run"},
     {Fn(3, 0, true), Fn(3, 0, false)}},
    {"a stop for a locomotive without an entry needs none", {"Q 9 r 0", "run"}, {}},
    {"a function makes the entry, so the speed needs no direction",
     {"F 9 0 10000", "run", "Q 9 f 28", "run"},
     {Fn(9, 0, true), Spd(9, 28)}},
    {"D forgets the wishes, not what the station holds",
     {"Q 5 f 28", "run", "D 5", "run", "Q 5 f 28", "run"},
     {Dir(5, true), Spd(5, 28), "D 5"}},
    {"a speed said again after a D that ran late is kept for a fresh station",
     {"Q 5 f 28", "run", "D 5", "Q 5 f 28", "run", "fresh", "run"},
     {Dir(5, true), Spd(5, 28), "D 5", Dir(5, true), Spd(5, 28)}},
    {"a function said again after a D that ran late is kept for a fresh station",
     {"F 5 0 10000", "run", "D 5", "F 5 0 10000", "run", "fresh", "run"},
     {Fn(5, 0, true), "D 5", Fn(5, 0, true)}},
    {"a wish asked for after a D that ran late is kept",
     {"Q 5 f 28", "D 5", "Q 5 f 40", "run"},
     {"D 5", Dir(5, true), Spd(5, 40)}},
    {"every turnout packet goes out, in order",
     {"T 4 1", "T 4 1", "T 4 0", "T 9 1", "run"},
     {To(4, true), To(4, true), To(4, false), To(9, true)}},
};

// Stops first, then directions, speeds and turnouts in the order asked for, then functions; a
// barrier after everything asked for before it; no locomotive keeps the front.
const OrderCase kOrder[] = {
    {"a stop of a running locomotive overtakes the others' pending commands",
     {"Q 5 f 504", "Q 6 f 504", "run", "Q 7 f 100", "Q 8 f 100", "Q 6 f 0", "run"},
     {Dir(5, true), Spd(5, 504), Dir(6, true), Spd(6, 504), Spd(6, 0), Dir(7, true), Spd(7, 100),
      Dir(8, true), Spd(8, 100)}},
    {"a stop of a running locomotive overtakes another's functions",
     {"Q 5 f 504", "run", "F 7 0 11111", "step 2", "Q 5 f 0", "run"},
     {Dir(5, true), Spd(5, 504), Fn(7, 0, true), Fn(7, 1, true), Spd(5, 0), Fn(7, 2, true),
      Fn(7, 3, true), Fn(7, 4, true)}},
    {"a stop in the other direction is a stop first",
     {"Q 5 f 504", "run", "Q 5 r 0", "run"},
     {Dir(5, true), Spd(5, 504), Spd(5, 0), Dir(5, false)}},
    {"motion and turnouts in the order asked for",
     {"Q 5 f 28", "T 1 1", "Q 6 f 28", "run"},
     {Dir(5, true), Spd(5, 28), To(1, true), Dir(6, true), Spd(6, 28)}},
    {"functions after motion asked for later",
     {"F 3 0 10000", "Q 6 f 28", "run"},
     {Dir(6, true), Spd(6, 28), Fn(3, 0, true)}},
    {"a locomotive changed again goes behind the others",
     {"Q 5 f 28", "step 1", "Q 6 f 28", "Q 5 f 40", "run"},
     {Dir(5, true), Dir(6, true), Spd(6, 28), Spd(5, 40)}},
    {"speeds overtaken before they are written are never sent",
     {"Q 3 f 28", "Q 3 f 40", "Q 3 f 0", "Q 3 f 80", "run"},
     {Spd(3, 80)}},
    {"a barrier waits for what was asked before it, functions included",
     {"Q 5 f 28", "F 3 0 10000", "E", "Q 6 f 28", "run"},
     {Dir(5, true), Spd(5, 28), Fn(3, 0, true), "E", Dir(6, true), Spd(6, 28)}},
    {"K goes before everything not yet written and withdraws a waiting E",
     {"Q 5 f 28", "step 1", "E", "Q 6 f 28", "K", "run"},
     {Dir(5, true), "withdrawn E", "K", Spd(5, 28), Dir(6, true), Spd(6, 28)}},
    {"a stop goes before a barrier asked for earlier",
     {"Q 5 f 504", "run", "Q 6 f 28", "B", "Q 5 f 0", "run"},
     {Dir(5, true), Spd(5, 504), Spd(5, 0), Dir(6, true), Spd(6, 28), "B"}},
};

// A fresh station holds its boot state: only what differs from it is sent again, and after
// every barrier that waits.
const OrderCase kFreshStation[] = {
    {"only what differs from the boot state",
     {"Q 3 f 504", "Q 5 r 0", "Q 6 f 100", "F 6 0 10000", "F 6 5 0000", "run", "fresh", "run"},
     {Spd(3, 504), Dir(6, true), Spd(6, 100), Fn(6, 0, true), Spd(3, 504), Dir(6, true),
      Spd(6, 100), Fn(6, 0, true)}},
    {"a fresh station that is wanted nothing of is greeted", {"fresh", "run"}, {"greet"}},
    {"the application's barrier goes before Railmux's own re-sends",
     {"Q 5 f 100", "Q 6 f 100", "run", "fresh", "E", "run"},
     {Dir(5, true), Spd(5, 100), Dir(6, true), Spd(6, 100), "E", Dir(5, true), Spd(5, 100),
      Dir(6, true), Spd(6, 100)}},
    {"a wish asked anew after the reset is the application's again",
     {"Q 5 f 100", "run", "fresh", "Q 5 f 120", "E", "run"},
     {Dir(5, true), Spd(5, 100), Dir(5, true), Spd(5, 120), "E"}},
};

// What the station may not have received is written again; what it refused waits for the
// application to ask again; with the link gone nothing is tried until something changes.
const OrderCase kOutcomes[] = {
    {"an unanswered stop is written again",
     {"Q 5 f 504", "run", "Q 5 f 0", "answer unknown", "run"},
     {Dir(5, true), Spd(5, 504), Spd(5, 0), Spd(5, 0)}},
    {"an unanswered speed is written again",
     {"Q 3 f 40", "answer unknown", "run"},
     {Spd(3, 40), Spd(3, 40)}},
    {"an unanswered function is written again",
     {"F 3 0 10000", "answer unknown", "run"},
     {Fn(3, 0, true), Fn(3, 0, true)}},
    {"an unanswered turnout is written again",
     {"T 4 1", "answer unknown", "run"},
     {To(4, true), To(4, true)}},
    {"an unanswered turnout set again since is not",
     {"T 4 1", "T 4 0", "answer unknown", "run"},
     {To(4, true), To(4, false)}},
    {"an entry that may not have been made is settled before any other",
     {"Q 5 f 28", "Q 6 f 28", "answer unknown", "run"},
     {Dir(5, true), Dir(5, true), Spd(5, 28), Dir(6, true), Spd(6, 28)}},
    {"a speed waits for its direction to be taken",
     {"Q 3 r 28", "answer refused", "run"},
     {Dir(3, false)}},
    {"a refused speed is sent again when asked again",
     {"Q 3 f 28", "answer refused", "run", "Q 3 f 28", "run"},
     {Spd(3, 28), Spd(3, 28)}},
    {"a refused direction is not tried again until asked again",
     {"Q 3 r 0", "answer done refused", "run"},
     {Spd(3, 0), Dir(3, false)}},
    {"a stop is written again however often its line is unreadable",
     {"Q 3 f 28", "run", "Q 3 f 0", "answer unknown unknown unknown unknown", "run"},
     {Spd(3, 28), Spd(3, 0), Spd(3, 0), Spd(3, 0), Spd(3, 0), Spd(3, 0)}},
    {"nothing more is tried while the link is gone",
     {"Q 3 f 28", "Q 5 f 28", "answer notsent", "run", "B", "run"},
     {Spd(3, 28), "B"}},
    {"a new wish tries the link again",
     {"Q 3 f 28", "answer notsent", "run", "Q 5 f 28", "run"},
     {Spd(3, 28), Spd(3, 28), Dir(5, true), Spd(5, 28)}},
};

std::string CaseName(const ::testing::TestParamInfo<OrderCase>& info) {
    std::string name = info.param.name;
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    }
    return name;
}

// An idle station is asked how it is after 2 s, then every 5 s; never while commands flow.
const OrderCase kWatch[] = {
    {"not before 2 s", {"run", "wait 1899", "run"}, {}},
    {"after 2 s idle, then every 5 s",
     {"run", "wait 2000", "run", "wait 4900", "run", "wait 100", "run"},
     {"watch", "watch"}},
    {"a command moves the next watch",
     {"run", "wait 1500", "Q 3 f 28", "run", "wait 1500", "run", "wait 500", "run"},
     {Spd(3, 28), "watch"}},
    {"a wish that comes when a watch is due goes first",
     {"run", "wait 3000", "Q 3 f 28", "run"},
     {Spd(3, 28)}},
    {"a watch without an answer is followed up after 0.5 s",
     {"run", "wait 2000", "answer unknown", "run", "wait 499", "run", "wait 1", "run"},
     {"watch", "watch"}},
    {"a gone link is not watched until the station is back",
     {"run", "wait 2000", "answer notsent", "run", "wait 10000", "run", "fresh", "run", "wait 2000",
      "run"},
     {"watch", "greet", "watch"}},
};

INSTANTIATE_TEST_SUITE_P(ExactState, Order, ::testing::ValuesIn(kExactState), CaseName);
INSTANTIATE_TEST_SUITE_P(Priorities, Order, ::testing::ValuesIn(kOrder), CaseName);
INSTANTIATE_TEST_SUITE_P(FreshStation, Order, ::testing::ValuesIn(kFreshStation), CaseName);
INSTANTIATE_TEST_SUITE_P(Outcomes, Order, ::testing::ValuesIn(kOutcomes), CaseName);
INSTANTIATE_TEST_SUITE_P(Watch, Order, ::testing::ValuesIn(kWatch), CaseName);

// ---- The station's list of 20 entries ------------------------------------------------------

// Drives locomotives 101, 102, ... at speed 100 until the list is full: locomotive 3's boot entry
// and nineteen others.
std::vector<std::string> FillTheList(std::vector<std::string> script = {}) {
    for (int key = 101; key <= 119; ++key)
        script.push_back("Q " + std::to_string(key) + " f 100");
    script.push_back("run");
    return script;
}

Calls Driven(int first, int last) {
    Calls calls;
    for (int key = first; key <= last; ++key) {
        calls.push_back(Dir(key, true));
        calls.push_back(Spd(key, 100));
    }
    return calls;
}

Calls operator+(Calls a, const Calls& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(StationList, ANewLocomotiveTakesTheFirstPlaceOnlyFromOneStandingStill) {
    std::vector<std::string> script = FillTheList();
    // The first entry is the boot entry of locomotive 3, standing: it makes room.
    script.insert(script.end(), {"Q 120 f 100", "run"});
    // Now the first entry is locomotive 120, running: 121 waits, and so does a turnout.
    script.insert(script.end(), {"Q 121 f 100", "T 7 1", "run", "Q 101 f 0", "run"});
    Driver driver(script);
    EXPECT_EQ(driver.out, (Driven(101, 120) + Calls{Spd(101, 0)}));
    ASSERT_EQ(driver.notices.size(), 2u);
    EXPECT_NE(driver.notices[0].find("Locomotive 121 waits"), std::string::npos)
        << driver.notices[0];
    EXPECT_NE(driver.notices[0].find("locomotive 120 stands still"), std::string::npos)
        << driver.notices[0];
    EXPECT_NE(driver.notices[1].find("Turnout output 8 waits"), std::string::npos)
        << driver.notices[1];

    // Once it stands, 121 takes its place, then the turnout waits for 121 in turn.
    script.insert(script.end(), {"Q 120 f 0", "run", "Q 121 f 0", "run"});
    Driver next(script);
    EXPECT_EQ(next.out, (Driven(101, 120) + Calls{Spd(101, 0), Spd(120, 0)} + Driven(121, 121) +
                         Calls{Spd(121, 0), To(7, true)}));
    EXPECT_EQ(next.notices.size(), 2u);  // said once each
}

TEST(StationList, ATurnoutOnAFullListWaitsForTheOneBeforeItToLeave) {
    std::vector<std::string> script = FillTheList();
    // The boot entry stands: the first turnout takes its place; the second would overwrite the
    // first while it is still being sent, so it waits until that one has left the list.
    script.insert(script.end(), {"T 7 1", "T 8 1", "run"});
    Driver waiting(script);
    EXPECT_EQ(waiting.out, (Driven(101, 119) + Calls{To(7, true)}));

    script.insert(script.end(), {"wait 700", "run"});
    Driver later(script);
    EXPECT_EQ(later.out, (Driven(101, 119) + Calls{To(7, true), To(8, true)}));
}

// A turnout's entry leaves after one to two refresh rounds; until it has surely gone, a new
// entry on a list that may be full could either be appended or overwrite the first one.
TEST(StationList, NoNewEntryWhileATurnoutMayStillFillTheList) {
    std::vector<std::string> script;
    for (int key = 101; key <= 118; ++key)
        script.push_back("Q " + std::to_string(key) + " f 100");
    script.insert(script.end(), {"run", "T 7 1", "run", "Q 120 f 100", "run"});
    Driver waiting(script);
    EXPECT_EQ(waiting.out, (Driven(101, 118) + Calls{To(7, true)}));

    script.insert(script.end(), {"wait 700", "run"});
    Driver later(script);
    EXPECT_EQ(later.out, (Driven(101, 118) + Calls{To(7, true)} + Driven(120, 120)));
    // Appended: locomotive 3 keeps its boot entry.
    EXPECT_EQ(later.wishes.Holds().Find(3).entry, StationHolds::Entry::Present);
}

// A turnout whose line may not have arrived on a full list may or may not have taken the first
// place: only sending it again settles where the list stands, even when the application has set
// that turnout again meanwhile (then with the newer coil).
TEST(StationList, AnUnansweredTurnoutOnAFullListIsSentAgainBeforeAnythingNew) {
    std::vector<std::string> script = FillTheList();
    script.insert(script.end(), {"T 5 1", "answer unknown", "run", "Q 120 f 100", "T 5 0", "run",
                                 "wait 700", "run", "wait 700", "run"});
    Driver driver(script);
    EXPECT_EQ(driver.out, (Driven(101, 119) + Calls{To(5, true), To(5, false)} + Driven(120, 120)));
}

TEST(StationList, ALocomotiveThatLostItsPlaceGetsItsDirectionAndFunctionsAgain) {
    // Locomotive 3 (boot entry) has its headlight on and stands; a turnout takes its place.
    std::vector<std::string> script = {"F 3 0 10000", "run"};
    script = FillTheList(script);
    script.insert(script.end(), {"T 7 1", "run", "wait 700", "run", "Q 3 f 100", "run"});
    Driver driver(script);
    // Its decoder kept the headlight; a new entry switches it off, so it is sent again.
    EXPECT_EQ(driver.out, (Calls{Fn(3, 0, true)} + Driven(101, 119) +
                           Calls{To(7, true), Dir(3, true), Spd(3, 100), Fn(3, 0, true)}));
}

TEST(StationList, AStandingLocomotiveWithoutAPlaceIsNotGivenOneForNothing) {
    // Locomotive 3 stands with its headlight on when a turnout takes its place: the decoder keeps
    // both, so asking for them again needs no entry.
    std::vector<std::string> script = {"F 3 0 10000", "Q 3 f 0", "run"};
    script = FillTheList(script);
    script.insert(script.end(), {"T 7 1", "run", "wait 700", "F 3 0 10000", "Q 3 f 0", "run"});
    Driver driver(script);
    EXPECT_EQ(driver.out,
              (Calls{Spd(3, 0), Fn(3, 0, true)} + Driven(101, 119) + Calls{To(7, true)}));
}

}  // namespace
