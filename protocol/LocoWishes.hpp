#pragma once

#include "protocol/PacketWish.hpp"
#include "protocol/StationHolds.hpp"
#include "station/CommandOutcome.hpp"
#include "station/SpeedMode.hpp"

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

// What the application wants of the station against what the station holds, and the one
// command to write next. A plain class: no lock, no thread, no clock (the time is passed in).
//
// The order of the commands: a track-power-off barrier first; then every stop of a locomotive
// the station runs; then, in the order they were asked for, directions, speeds and turnouts;
// then functions; a barrier (track power on, programming, "D") after everything asked before
// it. Only what differs from what the station holds is written, but a stop of a locomotive with
// an entry always is. What the station may not have received (no answer, an unreadable line)
// counts as unknown and is written again, as often as it takes; what it refused waits for the
// application to ask again. Railmux's own re-sends to a fresh station come after every barrier.
// A command that needs a new entry in the station's list waits while the list is full and its
// first entry is a running locomotive, while an accessory command may still be in the full
// list, and while an entry that may or may not have been made is being settled.
class LocoWishes {
public:
    using Clock = StationHolds::Clock;
    static constexpr int kFunctionCount = StationHolds::kFunctionCount;

    // Where a barrier goes.
    enum class Order {
        InLine,   // after everything asked before it
        Urgent,   // before everything not yet written; withdraws the PowerOn barriers waiting
        PowerOn,  // InLine, and withdrawn by a later Urgent one
    };

    // One station command.
    struct Command {
        enum class Kind { Direction, Speed, Function, Turnout } kind = Kind::Direction;
        std::int32_t number = 0;  // locomotive key, or accessory output
        std::uint8_t direction = 1;
        SpeedMode mode = SpeedMode::Steps128;
        std::int32_t speed = 0;
        int function = 0;
        bool on = false;  // function state, or the turnout's coil 1
    };

    // What to do next.
    struct Step {
        enum class Kind {
            Idle,     // nothing; look again at wake (or when something changes)
            Write,    // write command
            Barrier,  // carry out barrier (taken off the queue)
            Greet,    // a fresh station that has heard nothing yet wants a command soon
            Watch,    // the link has been idle: ask the station how it is
        } kind = Kind::Idle;
        Command command;
        std::uint64_t barrier = 0;
        Clock::time_point wake = Clock::time_point::max();
    };

    // After this long without a station command the station is asked how it is, and again
    // after every kWatchAgain while it stays idle.
    static constexpr std::chrono::milliseconds kWatchFirst{2000};
    static constexpr std::chrono::milliseconds kWatchAgain{5000};
    // After a watch without an answer: a second one in a row means the station is gone, and an
    // idle station that died should be found within about 8 s.
    static constexpr std::chrono::milliseconds kWatchFollowUp{500};

    LocoWishes() = default;

    // The application's wishes; each returns true when it gives the station work.
    bool Speed(const SpeedWish& wish);
    bool Functions(const FunctionWish& wish);
    void Turnout(const TurnoutWish& wish);

    // Queues a barrier and returns its number; withdrawn lists the PowerOn barriers an Urgent
    // one withdrew.
    std::uint64_t Barrier(Order order, std::vector<std::uint64_t>* withdrawn = nullptr);
    // A barrier that forgets what the application asked for key before it.
    std::uint64_t Forget(std::int32_t key);
    // Takes a barrier out of the queue; false when it is no longer queued (running or done).
    bool Withdraw(std::uint64_t barrier);

    // The next step at now. A Forget barrier is carried out by this call.
    Step Next(Clock::time_point now);
    // The outcome of a command Next asked for.
    void Record(const Command& command, CommandOutcome outcome, Clock::time_point now);
    // A barrier or a greeting Next asked for has written what it writes.
    void Wrote(Clock::time_point now);
    // The outcome of the watch Next asked for.
    void Watched(CommandOutcome outcome, Clock::time_point now);
    // The station booted (reset, replug, first connection): it holds its boot state and the
    // wishes are sent again, after the barriers waiting.
    void FreshStation(Clock::time_point now);

    // Lines for the console that the latest calls produced, in order; taking them empties the
    // list.
    std::vector<std::string> TakeNotices();

    const StationHolds& Holds() const { return holds_; }

private:
    static constexpr std::uint8_t kUnset = 0xFF;
    // Unknown outcomes in a row after which the console says the station cannot read its line.
    static constexpr int kUnknownsToTell = 3;

    struct Wish {
        bool hasMotion = false;
        std::uint8_t direction = 1;
        SpeedMode mode = SpeedMode::Steps128;
        std::int32_t speed = 0;
        std::uint64_t motionAt = 0;    // when the motion was last changed (its place in the order)
        std::uint64_t motionSaid = 0;  // when the application last asked for it, a repeat too
        bool stopPending = false;      // a stop asked for and not yet written
        bool directionRefused = false;
        bool speedRefused = false;
        std::array<std::uint8_t, kFunctionCount> functions = Unset();
        std::array<std::uint64_t, kFunctionCount> functionAt{};
        std::array<std::uint64_t, kFunctionCount> functionSaid{};
        std::uint32_t functionsRefused = 0;  // bit n: Fn
        bool waitNoticed = false;            // the console was told it waits for a place

        static std::array<std::uint8_t, kFunctionCount> Unset() {
            std::array<std::uint8_t, kFunctionCount> all;
            all.fill(kUnset);
            return all;
        }
    };

    struct TurnoutRequest {
        std::uint64_t at = 0;
        std::int32_t output = 0;
        bool thrown = false;
        bool waitNoticed = false;  // the console was told it waits for a place
        bool unsettled = false;    // written without an answer: to be sent again
    };

    struct QueuedBarrier {
        std::uint64_t id = 0;
        std::uint64_t at = 0;
        Order order = Order::InLine;
        bool forget = false;
        std::int32_t key = 0;
    };

    // A command that brings the station closer to key's wish of this kind, if one is due.
    bool MotionCommand(std::int32_t key, const Wish& wish, Command& command) const;
    bool FunctionCommand(std::int32_t key, const Wish& wish, Command& command,
                         std::uint64_t& at) const;
    // True when command may be written now: a command that makes an entry needs room for it.
    // Tells the console once (noticed) when a locomotive or a turnout waits for a running
    // locomotive's place.
    bool MayWrite(const Command& command, bool* noticed, Clock::time_point now);
    // True when a wish asked for at may be written before the first barrier waiting (at
    // boundary: none when 0).
    bool BeforeBarrier(std::uint64_t at, std::uint64_t boundary) const;
    void ApplyForget(const QueuedBarrier& barrier);

    StationHolds holds_;
    std::map<std::int32_t, Wish> wishes_;
    std::deque<TurnoutRequest> turnouts_;
    std::deque<QueuedBarrier> barriers_;
    std::uint64_t asked_ = 0;  // counts wishes and barriers
    std::uint64_t nextBarrier_ = 0;
    // Wishes asked for up to this count are Railmux's own re-sends to a fresh station.
    std::uint64_t freshAt_ = 0;
    bool greet_ = false;
    // The link was gone at the latest command: nothing is written until the station is back
    // or the application asks for something new.
    bool offline_ = false;
    int unknownsInRow_ = 0;
    // When the latest station command was written (none yet: the first Next counts), and how
    // long after it the station is watched.
    Clock::time_point lastCommand_ = Clock::time_point::min();
    std::chrono::milliseconds watchAfter_ = kWatchFirst;
    std::vector<std::string> notices_;
};
