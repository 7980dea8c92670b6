#pragma once

#include "station/CommandOutcome.hpp"
#include "station/SpeedMode.hpp"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

// What the station holds since its latest boot, as far as its answers tell: the list of entries
// it refreshes the rails from, and per locomotive its direction, speed, speed-step mode and
// functions. A plain model of the device, fed each command with its outcome and the time; no
// lock, no thread, no clock.
//
// The station refreshes at most kListSize entries: one per locomotive it has been told about
// since its boot (locomotive 3 from the boot itself) and one per accessory command while that
// is being sent. On a full list a new entry is written into the first one; the locomotive there
// loses its entry, while its decoder keeps what it last heard.
class StationHolds {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr std::size_t kListSize = 20;
    // The locomotive the station has an entry for at boot: stopped, forward, 28 steps.
    static constexpr std::int32_t kBootLoco = 3;
    // How long an accessory command keeps its entry on a full list (two refresh rounds).
    static constexpr std::chrono::milliseconds kAccessoryLifetime{700};
    static constexpr int kFunctionCount = 29;  // F0-F28
    // A direction, mode or function value that may be either.
    static constexpr std::uint8_t kUnknown = 0xFF;
    static constexpr std::int32_t kUnknownSpeed = -1;

    // Absent: no entry; the values are what the decoder last heard. Unsure: a command that
    // makes an entry went out without an answer, so there may or may not be one.
    enum class Entry { Absent, Present, Unsure };

    struct Loco {
        Entry entry = Entry::Absent;
        std::uint8_t direction = kUnknown;                     // 1 forward, 0 reverse
        std::int32_t speed = 0;                                // station scale; kUnknownSpeed
        std::uint8_t mode = kUnknown;                          // SpeedMode's value
        std::array<std::uint8_t, kFunctionCount> functions{};  // 1 on, 0 off, kUnknown
    };

    // One place of the list: a locomotive, or an accessory command until it leaves.
    struct Slot {
        bool accessory = false;
        std::int32_t number = 0;  // locomotive key or accessory output
        Clock::time_point leaves{};
    };

    // Whether one more entry can be made, and at what cost.
    enum class Room {
        Free,                // the list has room
        OverwritesStanding,  // full: the first entry, a locomotive standing still, goes
        Blocked,             // full: the first entry is a running locomotive or an accessory
    };

    // A station fresh from its boot.
    StationHolds();

    // The station booted (a reset, a replug, a new connection): the boot entry only.
    void Boot();

    // What the station holds for key (a locomotive it was never told about: no entry, standing,
    // functions off, direction and mode unknown).
    const Loco& Find(std::int32_t key) const;
    // True while the station may be running key's locomotive: it has an entry whose speed is
    // not known to be 0.
    bool Moving(std::int32_t key) const;
    // Room for a new entry at now; when the list is full, first names its first entry, or the
    // accessory entry that has to leave first.
    Room RoomForEntry(Clock::time_point now, Slot* first = nullptr);
    // A locomotive whose entry is Unsure: no other entry may be made until it is settled, or the
    // list would no longer be known.
    std::optional<std::int32_t> FirstUnsure() const;
    // When the earliest accessory entry leaves; none while there is none.
    std::optional<Clock::time_point> NextLeaving() const;

    // Each command as it went out, with its outcome.
    void Direction(std::int32_t key, std::uint8_t direction, CommandOutcome outcome,
                   Clock::time_point now);
    void Speed(std::int32_t key, std::int32_t speed, SpeedMode mode, CommandOutcome outcome);
    void Function(std::int32_t key, int function, bool on, CommandOutcome outcome,
                  Clock::time_point now);
    void Turnout(std::int32_t output, CommandOutcome outcome, Clock::time_point now);

private:
    // Drops the accessory entries whose time is up; the list closes up behind them.
    void Expire(Clock::time_point now);
    // Makes an entry at the end, or in the first place of a full list.
    void Insert(const Slot& slot, Clock::time_point now);
    // A locomotive entry made by the station: speed 0, 28 steps, functions off.
    static Loco Fresh(std::uint8_t direction);
    // A command that makes an entry went out without an answer.
    static void MaybeMade(Loco& loco);

    std::vector<Slot> list_;
    std::map<std::int32_t, Loco> locos_;
};
