#pragma once

#include "protocol/LocoWishes.hpp"
#include "protocol/PacketWish.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class IStation;
class TrackPower;

// Brings the station to what the application asked for, one command at a time, on a thread of
// its own. The station takes at most about ten commands a second, so a packet only updates the
// wishes and returns at once; the scheduler then writes, in the order LocoWishes decides, always
// the newest wish at the moment the command is written, so speeds overtaken during a throttle
// drag are never sent. Work that must stay in order (track power, programming, "D") runs as a
// barrier that the caller waits for.
//
// The shell around LocoWishes: the thread, the one lock around the wishes and the barriers'
// progress, the station and the clock. The station and the track power memory are used on the
// scheduler's thread only (or, without a thread, on the caller's in RunPending).
class StationScheduler {
public:
    using Clock = std::chrono::steady_clock;
    // Work that must stay in order, carried out on the scheduler with the station and the track
    // power memory. It may outlive the call that queued it: capture by value.
    using Job = std::function<void(IStation& station, TrackPower& power)>;
    // A number that changes whenever the station was reset or replaced (it then holds its boot
    // state).
    using EpochSource = std::function<std::uint64_t()>;

    enum class Mode { Threaded, Manual };

    // Where a barrier goes, and what becomes of it when it has not run in time.
    enum class Order {
        // After everything asked for before it; run even after its deadline.
        InLine,
        // Before every command not yet written (track power off, the operator's emergency
        // stop); it withdraws the PowerOn barriers still waiting.
        Urgent,
        // InLine, but withdrawn by a later Urgent one: track power on must not come after the
        // emergency stop that overtook it.
        PowerOn,
        // InLine, but withdrawn when it has not begun by its deadline (the caller reports it as
        // not carried out, so it must never be carried out later); once begun, waited for to
        // its end, past the deadline if need be.
        Programming,
    };

    // Threaded starts the scheduler's thread; Manual carries work out only in RunPending.
    StationScheduler(IStation& station, TrackPower& power, EpochSource epoch = {},
                     Mode mode = Mode::Threaded);
    // Stops and joins the thread.
    ~StationScheduler();
    StationScheduler(const StationScheduler&) = delete;
    StationScheduler& operator=(const StationScheduler&) = delete;

    // A speed packet (a stop is written even when the station already stands).
    void SetSpeed(const SpeedWish& wish);
    // A function group packet.
    void SetFunctions(const FunctionWish& wish);
    // A turnout packet: each one is sent.
    void ThrowTurnout(const TurnoutWish& wish);

    // Carries job out in its order and waits until it has run, at the latest until deadline.
    // True when it ran; false at the deadline or when withdrawn or stopped.
    bool RunBarrier(Job job, Order order, Clock::time_point deadline);
    // "D": forgets what the application asked for key before it, in order; then waits as
    // RunBarrier does. What the station holds is not forgotten.
    bool Forget(std::int32_t key, Clock::time_point deadline);

    // Ends the thread after the command being written; work not yet begun is dropped and every
    // barrier wait returns false. Idempotent.
    void Stop();

    // Manual mode: carries out everything due, on the caller's thread.
    void RunPending();

private:
    enum class Progress { Queued, Running, Done, Withdrawn };
    struct Barrier {
        Job job;
        Order order = Order::InLine;
        Progress progress = Progress::Queued;
    };

    // Queues a barrier and waits for it as RunBarrier says.
    bool Await(std::uint64_t id, std::shared_ptr<Barrier> barrier, Clock::time_point deadline);
    void Run();
    // Carries out the next step; false when there is nothing to do. Called and returns with
    // the lock held; releases it while the station works.
    bool Step(std::unique_lock<std::mutex>& lock);
    // The station was reset or replaced since the last look: it holds its boot state. Or it
    // switched its track off by itself: the application's "E" no longer holds.
    void CheckStation();
    // Writes one command and returns its outcome (the lock is not held).
    CommandOutcome Write(const LocoWishes::Command& command);
    // Marks a barrier ended and forgets it.
    void End(std::uint64_t id, Progress progress);

    IStation& station_;
    TrackPower& power_;
    EpochSource epoch_;
    const Mode mode_;
    std::uint64_t knownEpoch_ = 0;
    std::uint64_t knownTrips_ = 0;

    std::mutex mutex_;
    std::condition_variable changed_;  // work queued, a barrier ended, or stop
    LocoWishes wishes_;
    std::map<std::uint64_t, std::shared_ptr<Barrier>> barriers_;
    Clock::time_point wake_ = Clock::time_point::max();
    // Console lines of the shell's own, written once the lock is given up.
    std::vector<std::string> lines_;
    bool stopping_ = false;

    std::thread thread_;
};
