#include "protocol/StationScheduler.hpp"

#include "protocol/IStation.hpp"
#include "protocol/ProcessMessage.hpp"
#include "protocol/TrackPower.hpp"
#include "tests/support/RecordingStation.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Order = StationScheduler::Order;
using Calls = std::vector<std::string>;
constexpr auto kWait = RecordingStation::kWait;

SpeedWish Speed(std::int32_t key, std::int32_t speed, std::uint8_t direction = 1) {
    return {key, direction, SpeedMode::Steps128, speed};
}

// The scheduler on its own thread against a station whose every command waits at a gate until
// the test lets it through: the order rules live in LocoWishes and are tested there; these tests
// cover the thread, the barriers' waits, the epoch and the stop.
class Scheduler : public ::testing::Test {
protected:
    Scheduler() { station.Close(); }
    ~Scheduler() override {
        station.Open();
        scheduler.Stop();
    }

    // Waits until the commands written so far are exactly these.
    void ExpectCalls(const Calls& expected) {
        EXPECT_TRUE(station.WaitForCalls(expected.size()));
        EXPECT_EQ(station.Calls(), expected);
    }

    // A barrier that waits for the scheduler, run on a thread of its own like the server's.
    std::future<bool> Barrier(StationScheduler::Job job, Order order = Order::InLine) {
        return std::async(std::launch::async, [this, job, order] {
            return scheduler.RunBarrier(job, order, StationScheduler::Clock::now() + kWait);
        });
    }

    static StationScheduler::Job PowerOn() {
        return [](IStation& station, TrackPower&) { station.PowerOn(); };
    }
    static StationScheduler::Job Nothing() {
        return [](IStation&, TrackPower&) {};
    }

    std::atomic<std::uint64_t> epoch{0};
    RecordingStation station;
    TrackPower power;
    StationScheduler scheduler{station, power, [this] { return epoch.load(); }};
};

// A throttle drag: while one speed is being written, the rest of the drag arrives; only the
// newest is written next.
TEST_F(Scheduler, SpeedsOvertakenWhileACommandIsWrittenAreNeverSent) {
    scheduler.SetSpeed(Speed(5, 28));
    ExpectCalls({"setLocoDirection(49157,1)"});
    for (std::int32_t speed = 40; speed <= 1000; speed += 40)
        scheduler.SetSpeed(Speed(5, speed));
    station.Pass(2);
    ExpectCalls({"setLocoDirection(49157,1)", "setLocoSpeed(49157,1000,2)"});
    station.Open();
    EXPECT_TRUE(Barrier(Nothing()).get());
    EXPECT_EQ(station.Calls().size(), 2u);
}

TEST_F(Scheduler, ABarrierRunsAfterWhatWasAskedBeforeItAndItsWaiterIsReleased) {
    scheduler.SetSpeed(Speed(5, 28));
    auto on = Barrier(PowerOn());
    ASSERT_TRUE(station.WaitForCalls(1));
    EXPECT_EQ(on.wait_for(0ms), std::future_status::timeout);
    station.Open();
    EXPECT_TRUE(on.get());
    EXPECT_EQ(station.Calls(),
              (Calls{"setLocoDirection(49157,1)", "setLocoSpeed(49157,28,2)", "setPower(1)"}));
}

// Track power on that has not run when the emergency stop overtakes it is withdrawn: its waiter
// is told it did not run, and the track stays off.
TEST_F(Scheduler, PowerOffWithdrawsAPowerOnNotYetCarriedOut) {
    scheduler.SetSpeed(Speed(5, 28));
    ASSERT_TRUE(station.WaitForCalls(1));
    // Queued, its waiter gone at once (its deadline has passed): it would run all the same.
    EXPECT_FALSE(scheduler.RunBarrier(PowerOn(), Order::PowerOn, StationScheduler::Clock::now()));
    EXPECT_FALSE(scheduler.RunBarrier([](IStation& s, TrackPower&) { s.PowerOff(); }, Order::Urgent,
                                      StationScheduler::Clock::now()));
    station.Open();
    EXPECT_TRUE(Barrier(Nothing()).get());
    EXPECT_EQ(station.Calls(),
              (Calls{"setLocoDirection(49157,1)", "setPower(0)", "setLocoSpeed(49157,28,2)"}));
}

TEST_F(Scheduler, BarrierPastItsDeadlineStillRunsInOrder) {
    scheduler.SetSpeed(Speed(5, 28));
    ASSERT_TRUE(station.WaitForCalls(1));
    EXPECT_FALSE(
        scheduler.RunBarrier(PowerOn(), Order::InLine, StationScheduler::Clock::now() + 50ms));
    station.Open();
    ExpectCalls({"setLocoDirection(49157,1)", "setLocoSpeed(49157,28,2)", "setPower(1)"});
}

// A programming job that has not begun by its deadline is answered as not carried out: it must
// never be carried out later.
TEST_F(Scheduler, ProgrammingNotBegunInTimeIsWithdrawn) {
    scheduler.ThrowTurnout({0, true});
    ASSERT_TRUE(station.WaitForCalls(1));
    bool ran = false;
    EXPECT_FALSE(scheduler.RunBarrier([&ran](IStation&, TrackPower&) { ran = true; },
                                      Order::Programming, StationScheduler::Clock::now() + 50ms));
    station.Open();
    EXPECT_TRUE(Barrier(Nothing()).get());
    EXPECT_FALSE(ran);
    EXPECT_TRUE(scheduler.RunBarrier([&ran](IStation&, TrackPower&) { ran = true; },
                                     Order::Programming, StationScheduler::Clock::now() + kWait));
    EXPECT_TRUE(ran);
}

// A programming message's time counts from its arrival, not from when it came out of the queue:
// one that arrived longer ago than the application waits is not carried out, even when the
// station is free again a moment later.
TEST_F(Scheduler, ProgrammingCountsFromTheMessagesArrival) {
    scheduler.ThrowTurnout({0, true});
    ASSERT_TRUE(station.WaitForCalls(1));
    auto freed = std::async(std::launch::async, [this] {
        std::this_thread::sleep_for(100ms);
        station.Open();
    });
    std::string reply;
    ProcessMessage("P 001 03", reply, scheduler, StationScheduler::Clock::now() - 40s);
    freed.get();
    EXPECT_EQ(reply, "--");
    EXPECT_TRUE(Barrier(Nothing()).get());
    EXPECT_EQ(station.Calls().size(), 1u) << station.Calls().back();
}

// One that began before its deadline is waited for to its end: its reply tells what it did.
TEST_F(Scheduler, ProgrammingBegunInTimeIsWaitedForToItsEnd) {
    auto programmed = std::async(std::launch::async, [this] {
        return scheduler.RunBarrier(
            [](IStation& station, TrackPower&) { station.SetLocoConfig(3, 5); }, Order::Programming,
            StationScheduler::Clock::now() + 50ms);
    });
    ASSERT_TRUE(station.WaitForCalls(1));
    // Past its deadline while the station still works on it.
    std::this_thread::sleep_for(100ms);
    station.Pass(1);
    EXPECT_TRUE(programmed.get());
}

// A station that was reset or replaced holds its boot state: what the application wants is sent
// again, after the barrier that came meanwhile.
TEST_F(Scheduler, AFreshStationGetsTheWishesAgainAfterTheBarrierWaiting) {
    station.Open();
    scheduler.SetSpeed(Speed(5, 100));
    EXPECT_TRUE(Barrier(Nothing()).get());
    station.Close();
    scheduler.ThrowTurnout({0, true});
    ASSERT_TRUE(station.WaitForCalls(3));
    ++epoch;
    // Queued, its waiter gone at once (its deadline has passed): it runs all the same.
    EXPECT_FALSE(scheduler.RunBarrier(PowerOn(), Order::PowerOn, StationScheduler::Clock::now()));
    station.Open();
    ExpectCalls({"setLocoDirection(49157,1)", "setLocoSpeed(49157,100,2)", "setTurnout(14336,1)",
                 "setPower(1)", "setLocoDirection(49157,1)", "setLocoSpeed(49157,100,2)"});
}

TEST_F(Scheduler, AFreshStationWantedNothingIsGreeted) {
    station.Open();
    ++epoch;
    ExpectCalls({"setPing()"});
}

TEST_F(Scheduler, StopDropsWaitingWorkAndReleasesTheWaiters) {
    scheduler.SetSpeed(Speed(5, 28));
    ASSERT_TRUE(station.WaitForCalls(1));
    auto on = Barrier(PowerOn());
    scheduler.SetSpeed(Speed(6, 28));
    std::thread stopper([this] { scheduler.Stop(); });
    // The waiter is released as soon as the stop is seen; then the command being written
    // ends, and nothing after it is written.
    EXPECT_FALSE(on.get());
    station.Pass(1);
    stopper.join();
    EXPECT_EQ(station.Calls(), Calls{"setLocoDirection(49157,1)"});
    scheduler.SetSpeed(Speed(7, 28));
    EXPECT_FALSE(
        scheduler.RunBarrier(PowerOn(), Order::InLine, StationScheduler::Clock::now() + kWait));
    EXPECT_FALSE(scheduler.Forget(5, StationScheduler::Clock::now() + kWait));
}

}  // namespace
