#include "protocol/StationScheduler.hpp"

#include "protocol/IStation.hpp"
#include "protocol/LocoTable.hpp"
#include "protocol/TrackPower.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
constexpr auto kSteps128 = NDSDCC::SpeedMode::Steps128;
using Order = StationScheduler::Order;
// Generous: a command that should come does within it; none of these tests waits it out.
constexpr auto kWait = 10s;

// A station whose every command waits at a gate until the test lets it through, so that a test
// decides what is "being written" while new wishes arrive. Commands are recorded as the link
// would write them, when they reach the gate.
class GatedStation final : public IStation {
public:
    explicit GatedStation(const std::atomic<std::uint64_t>& epoch) : epoch_(epoch) {}

    // As the link: a ping only when no command has reached the station since it turned fresh.
    bool Greet() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (heardIn_ == epoch_) return true;
        }
        return Command("setPing()");
    }
    bool PowerOn() override { return Command("setPower(1)"); }
    bool PowerOff() override { return Command("setPower(0)"); }
    bool SetLocoSpeed(std::int32_t address, std::int32_t speed, SpeedMode mode) override {
        return Command("setLocoSpeed(" + std::to_string(address) + "," + std::to_string(speed) +
                       "," + std::to_string(static_cast<int>(mode)) + ")");
    }
    bool SetLocoDirection(std::int32_t address, bool forward) override {
        return Command("setLocoDirection(" + std::to_string(address) + (forward ? ",1)" : ",2)"));
    }
    bool SetLocoFunction(std::int32_t address, std::int32_t function, bool on) override {
        return Command("setLocoFunction(" + std::to_string(address) + "," +
                       std::to_string(function) + (on ? ",1)" : ",0)"));
    }
    bool SetTurnout(std::int32_t output, bool thrown) override {
        return Command("setTurnout(" + std::to_string(output) + (thrown ? ",1)" : ",0)"));
    }
    bool SetLocoConfig(std::int32_t cv, std::int32_t value) override {
        return Command("setLocoConfig(" + std::to_string(cv) + "," + std::to_string(value) + ")");
    }
    bool GetLocoConfig(std::int32_t cv, std::int32_t& value) override {
        value = 3;
        return Command("getLocoConfig(" + std::to_string(cv) + ")");
    }

    // Waits until count commands have reached the gate.
    bool WaitForCommands(std::size_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, kWait, [&] { return commands_.size() >= count; });
    }
    // Lets count more commands through the gate (each answered with accept).
    void Pass(std::size_t count = 1) {
        std::lock_guard<std::mutex> lock(mutex_);
        passes_ += count;
        changed_.notify_all();
    }
    // Lets everything through from now on.
    void Open() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    std::vector<std::string> Commands() {
        std::lock_guard<std::mutex> lock(mutex_);
        return commands_;
    }
    // The next answers: false refuses.
    void Refuse(std::size_t count) {
        std::lock_guard<std::mutex> lock(mutex_);
        refusals_ += count;
    }

private:
    bool Command(std::string text) {
        std::unique_lock<std::mutex> lock(mutex_);
        heardIn_ = epoch_;
        commands_.push_back(std::move(text));
        changed_.notify_all();
        changed_.wait(lock, [&] { return open_ || passes_ > 0; });
        if (!open_) --passes_;
        if (refusals_ > 0) {
            --refusals_;
            return false;
        }
        return true;
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> commands_;
    std::size_t passes_ = 0;
    std::size_t refusals_ = 0;
    bool open_ = false;
    const std::atomic<std::uint64_t>& epoch_;
    std::uint64_t heardIn_ = 0;  // the latest epoch in which a command was written
};

class Scheduler : public ::testing::Test {
protected:
    ~Scheduler() override {
        station.Open();
        scheduler.Stop();
    }

    // Waits until the commands written so far are exactly these.
    void ExpectCommands(const std::vector<std::string>& expected) {
        EXPECT_TRUE(station.WaitForCommands(expected.size()));
        EXPECT_EQ(station.Commands(), expected);
    }

    // Holds the scheduler at the gate with a turnout command, so that the wishes that follow
    // are all taken before it writes anything else.
    void Hold() {
        scheduler.ThrowTurnout(0, true);
        ASSERT_TRUE(station.WaitForCommands(1));
    }

    // Queues a barrier without waiting for it (its deadline has passed): it runs all the same.
    void Queue(StationScheduler::Job job, bool urgent = false) {
        EXPECT_FALSE(scheduler.RunBarrier(std::move(job), urgent ? Order::Urgent : Order::InLine,
                                          StationScheduler::Clock::now()));
    }

    // A barrier that waits for the scheduler, run on a thread of its own like the server's.
    std::future<bool> Barrier(StationScheduler::Job job, bool urgent = false) {
        return std::async(std::launch::async, [this, job, urgent] {
            return scheduler.RunBarrier(job, urgent ? Order::Urgent : Order::InLine,
                                        StationScheduler::Clock::now() + kWait);
        });
    }

    static StationScheduler::Job PowerOn() {
        return [](IStation& station, LocoTable&, TrackPower&) { station.PowerOn(); };
    }
    static StationScheduler::Job PowerOff() {
        return [](IStation& station, LocoTable&, TrackPower&) { station.PowerOff(); };
    }

    std::atomic<std::uint64_t> epoch{0};
    GatedStation station{epoch};
    LocoTable locos;
    TrackPower power;
    StationScheduler scheduler{station, locos, power, [this] { return epoch.load(); }};
};

// A throttle drag: while one speed is being written, the rest of the drag arrives; only the
// newest is written next.
TEST_F(Scheduler, SpeedsOvertakenWhileACommandIsWrittenAreNeverSent) {
    scheduler.SetSpeed(3, 1, kSteps128, 28);
    ExpectCommands({"setLocoDirection(3,1)"});
    for (std::int32_t speed = 40; speed <= 1000; speed += 40)
        scheduler.SetSpeed(3, 1, kSteps128, speed);
    station.Pass(3);
    ExpectCommands({"setLocoDirection(3,1)", "setLocoSpeed(3,1000,2)"});
    // What the station now holds, as the scheduler's own thread sees it.
    std::int32_t held = -1;
    EXPECT_TRUE(Barrier([&held](IStation&, LocoTable& locos, TrackPower&) {
                    held = locos.Find(3)->speed;
                }).get());
    EXPECT_EQ(held, 1000);
}

TEST_F(Scheduler, DirectionBeforeSpeedBeforeFunctions) {
    Hold();
    const std::uint8_t f0to4[] = {1, 0, 1, 0, 0};
    scheduler.SetFunctions(3, 0, 5, f0to4);
    scheduler.SetSpeed(3, 0, kSteps128, 28);
    station.Open();
    ExpectCommands({"setTurnout(0,1)", "setLocoDirection(3,2)", "setLocoSpeed(3,28,2)",
                    "setLocoFunction(3,0,1)", "setLocoFunction(3,1,0)", "setLocoFunction(3,2,1)",
                    "setLocoFunction(3,3,0)", "setLocoFunction(3,4,0)"});
}

TEST_F(Scheduler, LocomotivesGoInTheOrderTheyFirstDiffered) {
    scheduler.SetSpeed(5, 1, kSteps128, 28);
    ExpectCommands({"setLocoDirection(5,1)"});
    scheduler.SetSpeed(7, 1, kSteps128, 28);
    scheduler.SetSpeed(6, 1, kSteps128, 28);
    scheduler.SetSpeed(7, 1, kSteps128, 40);  // already queued: keeps its place
    station.Open();
    ExpectCommands({"setLocoDirection(5,1)", "setLocoSpeed(5,28,2)", "setLocoDirection(7,1)",
                    "setLocoSpeed(7,40,2)", "setLocoDirection(6,1)", "setLocoSpeed(6,28,2)"});
}

// Several locomotives dragged at once all make progress: one changed while its command is being
// written queues again behind the others.
TEST_F(Scheduler, LocomotiveChangedWhileWrittenQueuesBehindTheOthers) {
    scheduler.SetSpeed(1, 1, kSteps128, 28);
    ExpectCommands({"setLocoDirection(1,1)"});
    scheduler.SetSpeed(2, 1, kSteps128, 28);
    scheduler.SetSpeed(1, 1, kSteps128, 40);
    station.Open();
    ExpectCommands({"setLocoDirection(1,1)", "setLocoDirection(2,1)", "setLocoSpeed(2,28,2)",
                    "setLocoSpeed(1,40,2)"});
}

TEST_F(Scheduler, PowerOffGoesBeforePendingLocomotiveCommands) {
    scheduler.SetSpeed(1, 1, kSteps128, 28);
    ExpectCommands({"setLocoDirection(1,1)"});
    scheduler.SetSpeed(2, 1, kSteps128, 28);
    scheduler.SetSpeed(3, 1, kSteps128, 28);
    Queue(PowerOff(), true);
    // The command being written finishes first; then the power goes off, then the rest.
    station.Open();
    ExpectCommands({"setLocoDirection(1,1)", "setPower(0)", "setLocoSpeed(1,28,2)",
                    "setLocoDirection(2,1)", "setLocoSpeed(2,28,2)", "setLocoDirection(3,1)",
                    "setLocoSpeed(3,28,2)"});
}

TEST_F(Scheduler, PowerOnWaitsForTheCommandsAcceptedBeforeIt) {
    scheduler.SetSpeed(1, 1, kSteps128, 28);
    scheduler.SetSpeed(2, 0, kSteps128, 40);
    scheduler.ThrowTurnout(4, true);
    auto on = Barrier(PowerOn());
    station.Open();
    EXPECT_TRUE(on.get());
    EXPECT_EQ(station.Commands(),
              (std::vector<std::string>{"setLocoDirection(1,1)", "setLocoSpeed(1,28,2)",
                                        "setLocoDirection(2,2)", "setLocoSpeed(2,40,2)",
                                        "setTurnout(4,1)", "setPower(1)"}));
}

TEST_F(Scheduler, EveryTurnoutPacketIsWrittenInOrder) {
    scheduler.ThrowTurnout(4, true);
    scheduler.ThrowTurnout(4, true);
    scheduler.ThrowTurnout(4, false);
    scheduler.ThrowTurnout(9, true);
    station.Open();
    ExpectCommands({"setTurnout(4,1)", "setTurnout(4,1)", "setTurnout(4,0)", "setTurnout(9,1)"});
}

// A stop that arrives while the station already stands is written all the same.
TEST_F(Scheduler, StopIsWrittenEveryTime) {
    station.Open();
    scheduler.SetSpeed(3, 1, kSteps128, 0);
    ExpectCommands({"setLocoDirection(3,1)", "setLocoSpeed(3,0,2)"});
    scheduler.SetSpeed(3, 1, kSteps128, 0);
    ExpectCommands({"setLocoDirection(3,1)", "setLocoSpeed(3,0,2)", "setLocoSpeed(3,0,2)"});
}

// What the station refused is not tried again until the application asks again.
TEST_F(Scheduler, RefusedCommandWaitsForTheNextWish) {
    station.Refuse(1);
    station.Open();
    scheduler.SetSpeed(3, 0, kSteps128, 28);
    ExpectCommands({"setLocoDirection(3,2)"});
    // Nothing else goes out: a speed in a direction the station may not have taken could run
    // the wrong way. The next wish sends both.
    auto on = Barrier(PowerOn());
    EXPECT_TRUE(on.get());
    ExpectCommands({"setLocoDirection(3,2)", "setPower(1)"});
    scheduler.SetSpeed(3, 0, kSteps128, 28);
    ExpectCommands(
        {"setLocoDirection(3,2)", "setPower(1)", "setLocoDirection(3,2)", "setLocoSpeed(3,28,2)"});
}

// A newer speed overtakes a stop not yet written: the newest is written once, and the scheduler
// goes on to what follows.
TEST_F(Scheduler, AStopOvertakenByASpeedIsNotWritten) {
    scheduler.SetSpeed(3, 1, kSteps128, 28);
    ExpectCommands({"setLocoDirection(3,1)"});
    scheduler.SetSpeed(3, 1, kSteps128, 0);
    scheduler.SetSpeed(3, 1, kSteps128, 68);
    station.Open();
    EXPECT_TRUE(Barrier(PowerOn()).get());
    EXPECT_EQ(
        station.Commands(),
        (std::vector<std::string>{"setLocoDirection(3,1)", "setLocoSpeed(3,68,2)", "setPower(1)"}));
}

// Track power on that has not run when the emergency stop overtakes it is withdrawn: the track
// stays off. Power on asked for after the stop runs after it.
TEST_F(Scheduler, PowerOffWithdrawsAPowerOnNotYetCarriedOut) {
    scheduler.SetSpeed(1, 1, kSteps128, 28);
    ExpectCommands({"setLocoDirection(1,1)"});
    const auto past = StationScheduler::Clock::now();
    EXPECT_FALSE(scheduler.RunBarrier(PowerOn(), Order::PowerOn, past));
    Queue(PowerOff(), true);
    station.Open();
    EXPECT_TRUE(Barrier([](IStation&, LocoTable&, TrackPower&) {}).get());
    EXPECT_EQ(station.Commands(), (std::vector<std::string>{"setLocoDirection(1,1)", "setPower(0)",
                                                            "setLocoSpeed(1,28,2)"}));
    EXPECT_TRUE(
        scheduler.RunBarrier(PowerOn(), Order::PowerOn, StationScheduler::Clock::now() + kWait));
    EXPECT_EQ(station.Commands().back(), "setPower(1)");
}

// A "D" answered before it ran, then the locomotive is driven again: the new wish is carried
// out after the "D", not forgotten by it.
TEST_F(Scheduler, ForgetKeepsAWishThatCameAfterIt) {
    Hold();
    EXPECT_FALSE(scheduler.Forget(3, StationScheduler::Clock::now()));
    scheduler.SetSpeed(3, 1, kSteps128, 40);
    station.Open();
    EXPECT_TRUE(Barrier([](IStation&, LocoTable&, TrackPower&) {}).get());
    EXPECT_EQ(station.Commands(),
              (std::vector<std::string>{"setTurnout(0,1)", "setLocoDirection(3,1)",
                                        "setLocoSpeed(3,40,2)"}));
}

// Of a locomotive still queued when the "D" comes, only what was asked after the "D" is sent
// again once it has run: the functions asked for before it are forgotten with it.
TEST_F(Scheduler, ForgetSendsAgainOnlyWhatCameAfterIt) {
    const std::uint8_t f0to4[] = {1, 0, 0, 0, 0};
    scheduler.SetFunctions(3, 0, 5, f0to4);
    ExpectCommands({"setLocoFunction(3,0,1)"});
    EXPECT_FALSE(scheduler.Forget(3, StationScheduler::Clock::now()));
    scheduler.SetSpeed(3, 1, kSteps128, 40);
    station.Open();
    EXPECT_TRUE(Barrier([](IStation&, LocoTable&, TrackPower&) {}).get());
    EXPECT_EQ(station.Commands(),
              (std::vector<std::string>{
                  "setLocoFunction(3,0,1)", "setLocoDirection(3,1)", "setLocoSpeed(3,40,2)",
                  "setLocoFunction(3,1,0)", "setLocoFunction(3,2,0)", "setLocoFunction(3,3,0)",
                  "setLocoFunction(3,4,0)", "setLocoDirection(3,1)", "setLocoSpeed(3,40,2)"}));
}

// A programming job that has not begun by its deadline is answered as not carried out: it must
// never be carried out later.
TEST_F(Scheduler, ProgrammingNotBegunInTimeIsWithdrawn) {
    Hold();
    bool ran = false;
    EXPECT_FALSE(scheduler.RunBarrier([&ran](IStation&, LocoTable&, TrackPower&) { ran = true; },
                                      Order::Programming, StationScheduler::Clock::now() + 50ms));
    station.Open();
    EXPECT_TRUE(Barrier([](IStation&, LocoTable&, TrackPower&) {}).get());
    EXPECT_FALSE(ran);
    EXPECT_TRUE(scheduler.RunBarrier([&ran](IStation&, LocoTable&, TrackPower&) { ran = true; },
                                     Order::Programming, StationScheduler::Clock::now() + kWait));
    EXPECT_TRUE(ran);
}

// One that began before its deadline is waited for to its end: its reply tells what it did.
TEST_F(Scheduler, ProgrammingBegunInTimeIsWaitedForToItsEnd) {
    auto programmed = std::async(std::launch::async, [this] {
        return scheduler.RunBarrier(
            [](IStation& station, LocoTable&, TrackPower&) { station.SetLocoConfig(3, 5); },
            Order::Programming, StationScheduler::Clock::now() + 50ms);
    });
    ASSERT_TRUE(station.WaitForCommands(1));
    // Past its deadline while the station still works on it.
    std::this_thread::sleep_for(100ms);
    station.Pass(1);
    EXPECT_TRUE(programmed.get());
}

// A turnout the application sets again before the station that did not take it is back: the
// newer packet is the last word, the older one is not sent again after it.
TEST_F(Scheduler, ANewerTurnoutPacketSupersedesOneTheStationDidNotTake) {
    station.Refuse(1);
    scheduler.ThrowTurnout(5, true);
    ASSERT_TRUE(station.WaitForCommands(1));
    station.Pass(1);  // refused
    scheduler.ThrowTurnout(9, true);
    ASSERT_TRUE(station.WaitForCommands(2));
    scheduler.ThrowTurnout(5, false);
    ++epoch;
    station.Open();
    EXPECT_TRUE(Barrier([](IStation&, LocoTable&, TrackPower&) {}).get());
    EXPECT_EQ(station.Commands(),
              (std::vector<std::string>{"setTurnout(5,1)", "setTurnout(9,1)", "setTurnout(5,0)"}));
}

// A turnout packet the station did not take (it was gone) goes to the next fresh station, the
// latest per output; one taken later needs nothing more.
TEST_F(Scheduler, TurnoutsTheStationDidNotTakeGoToTheFreshOne) {
    station.Refuse(3);
    station.Open();
    scheduler.ThrowTurnout(4, true);
    scheduler.ThrowTurnout(4, false);
    scheduler.ThrowTurnout(9, true);
    scheduler.ThrowTurnout(9, false);  // taken
    ExpectCommands({"setTurnout(4,1)", "setTurnout(4,0)", "setTurnout(9,1)", "setTurnout(9,0)"});
    ++epoch;
    ExpectCommands({"setTurnout(4,1)", "setTurnout(4,0)", "setTurnout(9,1)", "setTurnout(9,0)",
                    "setTurnout(4,0)"});
    // Sent once: a further fresh station gets nothing but its greeting.
    ++epoch;
    ExpectCommands({"setTurnout(4,1)", "setTurnout(4,0)", "setTurnout(9,1)", "setTurnout(9,0)",
                    "setTurnout(4,0)", "setPing()"});
}

// A station that reset hears a command soon, whether or not anything is wanted of it.
TEST_F(Scheduler, AFreshStationIsGreetedWhenNothingElseReachesIt) {
    station.Open();
    ++epoch;
    ExpectCommands({"setPing()"});
    scheduler.SetSpeed(3, 1, kSteps128, 28);
    ExpectCommands({"setPing()", "setLocoDirection(3,1)", "setLocoSpeed(3,28,2)"});
    // What it is sent again is greeting enough.
    ++epoch;
    ExpectCommands({"setPing()", "setLocoDirection(3,1)", "setLocoSpeed(3,28,2)",
                    "setLocoDirection(3,1)", "setLocoSpeed(3,28,2)"});
    EXPECT_TRUE(Barrier([](IStation&, LocoTable&, TrackPower&) {}).get());
    EXPECT_EQ(station.Commands().size(), 5u);
}

// A station that was reset or replaced holds nothing: every wanted state goes out again.
TEST_F(Scheduler, FreshStationGetsEveryWantedStateAgain) {
    Hold();
    const std::uint8_t f0[] = {1};
    scheduler.SetSpeed(3, 1, kSteps128, 504);
    scheduler.SetFunctions(3, 0, 1, f0);
    scheduler.SetSpeed(4, 0, kSteps128, 0);
    station.Open();
    ExpectCommands({"setTurnout(0,1)", "setLocoDirection(3,1)", "setLocoSpeed(3,504,2)",
                    "setLocoFunction(3,0,1)", "setLocoDirection(4,2)", "setLocoSpeed(4,0,2)"});
    // Everything is written (a barrier comes after it) before the station turns fresh.
    EXPECT_TRUE(Barrier([](IStation&, LocoTable&, TrackPower&) {}).get());
    ++epoch;
    ExpectCommands({"setTurnout(0,1)", "setLocoDirection(3,1)", "setLocoSpeed(3,504,2)",
                    "setLocoFunction(3,0,1)", "setLocoDirection(4,2)", "setLocoSpeed(4,0,2)",
                    "setLocoDirection(3,1)", "setLocoSpeed(3,504,2)", "setLocoFunction(3,0,1)",
                    "setLocoDirection(4,2)", "setLocoSpeed(4,0,2)"});
}

TEST_F(Scheduler, ForgetSendsEverythingAgainAndDropsTheWish) {
    station.Open();
    scheduler.SetSpeed(3, 0, kSteps128, 28);
    ExpectCommands({"setLocoDirection(3,2)", "setLocoSpeed(3,28,2)"});
    EXPECT_TRUE(scheduler.Forget(3, StationScheduler::Clock::now() + kWait));
    EXPECT_EQ(locos.Find(3), nullptr);
    // A fresh station afterwards gets nothing for a locomotive the application let go of.
    ++epoch;
    auto on = Barrier(PowerOn());
    EXPECT_TRUE(on.get());
    scheduler.SetSpeed(3, 0, kSteps128, 28);
    ExpectCommands({"setLocoDirection(3,2)", "setLocoSpeed(3,28,2)", "setPower(1)",
                    "setLocoDirection(3,2)", "setLocoSpeed(3,28,2)"});
}

TEST_F(Scheduler, StopDropsWaitingWorkAndReleasesTheWaiters) {
    scheduler.SetSpeed(1, 1, kSteps128, 28);
    ExpectCommands({"setLocoDirection(1,1)"});
    auto on = Barrier(PowerOn());
    scheduler.SetSpeed(2, 1, kSteps128, 28);
    std::thread stopper([this] { scheduler.Stop(); });
    // The waiter is released as soon as the stop is seen; then the command being written
    // ends, and nothing after it is written.
    EXPECT_FALSE(on.get());
    station.Pass(1);
    stopper.join();
    EXPECT_EQ(station.Commands(), std::vector<std::string>{"setLocoDirection(1,1)"});
    scheduler.SetSpeed(3, 1, kSteps128, 28);
    EXPECT_FALSE(
        scheduler.RunBarrier(PowerOn(), Order::InLine, StationScheduler::Clock::now() + kWait));
}

TEST_F(Scheduler, BarrierPastItsDeadlineStillRunsInOrder) {
    scheduler.SetSpeed(1, 1, kSteps128, 28);
    ExpectCommands({"setLocoDirection(1,1)"});
    EXPECT_FALSE(
        scheduler.RunBarrier(PowerOn(), Order::InLine, StationScheduler::Clock::now() + 50ms));
    station.Open();
    ExpectCommands({"setLocoDirection(1,1)", "setLocoSpeed(1,28,2)", "setPower(1)"});
}

}  // namespace
