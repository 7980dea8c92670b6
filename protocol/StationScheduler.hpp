#pragma once

#include "protocol/LocoState.hpp"
#include "station/NDSDCC.hpp"

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

class IStation;
class LocoTable;
class TrackPower;

// Brings the station to the locomotive states the application asked for, one command at a time.
// The station takes at most about ten commands a second, so a locomotive packet only updates
// the state wanted for its locomotive and returns at once; the scheduler then writes, for each
// locomotive in the order in which it first differed from what the station holds, direction
// before speed before functions, always the newest wanted value at the moment the command is
// written, so speeds overtaken during a throttle drag are never sent. Turnout packets are sent
// each, in order. Work that must stay in order (track power, programming, "D") runs as a
// barrier after everything accepted before it; track power off may go first.
//
// The scheduler alone uses the station, the memory of what the station holds (LocoTable) and
// the track power memory; it reads them on its own thread only (or, without a thread, on the
// caller's in RunPending). The wanted states and the queue are shared under one lock.
class StationScheduler {
public:
    using Clock = std::chrono::steady_clock;
    // Work that must stay in order, carried out on the scheduler with the station and the
    // memories. It may outlive the call that queued it: capture by value.
    using Job = std::function<void(IStation& station, LocoTable& locos, TrackPower& power)>;
    // A number that changes whenever the station was reset or replaced (it then holds nothing).
    using EpochSource = std::function<std::uint64_t()>;

    enum class Mode { Threaded, Manual };

    // Threaded starts the scheduler's thread; Manual carries work out only in RunPending.
    StationScheduler(IStation& station, LocoTable& locos, TrackPower& power, EpochSource epoch = {},
                     Mode mode = Mode::Threaded);
    // Stops and joins the thread.
    ~StationScheduler();
    StationScheduler(const StationScheduler&) = delete;
    StationScheduler& operator=(const StationScheduler&) = delete;

    // A speed packet: direction (1 forward, 0 reverse), speed-step mode and station speed
    // (0: a stop, which is sent even when the station already stands).
    void SetSpeed(std::int32_t key, std::uint8_t direction, NDSDCC::SpeedMode mode,
                  std::int32_t speed);
    // A function group packet: functions first .. first + count - 1, states[i] 1 on, 0 off.
    void SetFunctions(std::int32_t key, int first, int count, const std::uint8_t* states);
    // A turnout packet: sent as it is, after everything accepted before it; one the station did
    // not take goes to the next fresh station.
    void ThrowTurnout(std::int32_t output, bool thrown);

    // Where a barrier goes, and what becomes of it when it has not run in time.
    enum class Order {
        // After every command accepted before it; run even after its deadline.
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

    // Carries job out in its order and waits until it has run, at the latest until deadline.
    // True when it ran; false at the deadline or when withdrawn or stopped.
    bool RunBarrier(Job job, Order order, Clock::time_point deadline);

    // "D": forgets what the station was told and what was wanted for key, after everything
    // accepted before it (a wish that came after it is kept); then waits as RunBarrier does.
    bool Forget(std::int32_t key, Clock::time_point deadline);

    // Ends the thread after the command being written; work not yet begun is dropped and every
    // barrier wait returns false. Idempotent.
    void Stop();

    // Manual mode: carries out everything queued, on the caller's thread.
    void RunPending();

private:
    // What the application asked for one locomotive.
    struct Wanted {
        bool hasMotion = false;
        std::uint8_t direction = 1;
        std::uint8_t mode = 0;
        std::int32_t speed = 0;
        bool stopPending = false;  // the newest wish is a stop, not yet written
        std::array<std::uint8_t, LocoState::kFunctionCount> functions = Unset();
        // What the station refused (or did not answer) since the application last asked: not
        // tried again until it asks again or the station is fresh.
        bool directionRefused = false;
        bool speedRefused = false;
        std::uint32_t functionsRefused = 0;  // bit n: Fn
        bool queued = false;                 // in the queue or being written
        std::uint64_t version = 0;           // changes_ at the application's latest change
        // changes_ when the motion, and each function, was last asked for.
        std::uint64_t motionAsked = 0;
        std::array<std::uint64_t, LocoState::kFunctionCount> functionAsked{};

        static std::array<std::uint8_t, LocoState::kFunctionCount> Unset() {
            std::array<std::uint8_t, LocoState::kFunctionCount> all;
            all.fill(LocoState::kUnknown);
            return all;
        }
    };

    struct Barrier {
        Job job;
        Order order = Order::InLine;
        bool begun = false;
        bool done = false;
        bool dropped = false;  // withdrawn, or the scheduler stopped: it never runs
    };

    struct Item {
        enum class Kind { Loco, Turnout, Barrier };

        explicit Item(Kind itemKind, std::int32_t itemKey = 0) : kind(itemKind), key(itemKey) {}

        Kind kind;
        std::int32_t key;  // locomotive key, or turnout output
        bool thrown = false;
        bool urgent = false;
        std::shared_ptr<Barrier> barrier;

        bool Is(Order order) const { return barrier && barrier->order == order; }
    };

    // One command for a locomotive.
    struct Command {
        enum class Kind { None, Direction, Speed, Function } kind = Kind::None;
        std::int32_t key = 0;
        std::uint8_t direction = 1;
        NDSDCC::SpeedMode mode = NDSDCC::SpeedMode::Steps128;
        std::int32_t speed = 0;
        int function = 0;
        bool on = false;
    };

    void Run();
    // Carries out one step of the first item; false when there is nothing to do. Called and
    // returns with the lock held; releases it while the station works.
    bool Step(std::unique_lock<std::mutex>& lock);
    // The station was reset or replaced: it holds nothing, so every wanted state is sent again,
    // and the turnout packets that did not reach the one before.
    void CheckEpoch();
    // The next command that brings the station closer to what is wanted for key.
    Command Next(std::int32_t key, const Wanted& wanted);
    // Writes command and records what the station now holds; true when it was accepted.
    bool Write(const Command& command);
    // True when the station holds everything wanted for the locomotive: a repeated wish needs
    // no work (and wakes nobody).
    static bool Settled(const Wanted& wanted);
    // Queues a locomotive that is not queued yet, before the first barrier.
    void QueueLoco(std::int32_t key, Wanted& wanted);
    // Takes the barriers that have not begun out of the queue, for good.
    template <typename Predicate>
    void Withdraw(Predicate predicate);
    // Where work that belongs before the barriers goes: after the last item that is not one.
    std::deque<Item>::iterator BeforeBarriers();
    // The first place after the urgent items at the front.
    std::deque<Item>::iterator AfterUrgent();

    IStation& station_;
    LocoTable& locos_;
    TrackPower& power_;
    EpochSource epoch_;
    const Mode mode_;
    std::uint64_t knownEpoch_ = 0;  // scheduler thread only
    bool greet_ = false;            // a fresh station may still wait for its first command

    std::mutex mutex_;
    std::condition_variable changed_;  // work queued, a barrier done, or stop
    std::map<std::int32_t, Wanted> wanted_;
    std::uint64_t changes_ = 0;  // counts the application's wishes
    // Turnout packets the station did not take, by output: the coil asked for last.
    std::map<std::int32_t, bool> unthrown_;
    std::deque<Item> queue_;
    bool stopping_ = false;

    std::thread thread_;
};
