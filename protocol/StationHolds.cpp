#include "protocol/StationHolds.hpp"

#include <algorithm>

StationHolds::StationHolds() {
    Boot();
}

void StationHolds::Boot() {
    list_.clear();
    locos_.clear();
    list_.push_back(Slot{false, kBootLoco, {}});
    locos_[kBootLoco] = Fresh(1);
}

const StationHolds::Loco& StationHolds::Find(std::int32_t key) const {
    static const Loco kNeverTold{};
    const auto found = locos_.find(key);
    return found == locos_.end() ? kNeverTold : found->second;
}

bool StationHolds::Moving(std::int32_t key) const {
    const Loco& loco = Find(key);
    return loco.entry == Entry::Present && loco.speed != 0;
}

std::optional<std::int32_t> StationHolds::FirstUnsure() const {
    for (const auto& [key, loco] : locos_) {
        if (loco.entry == Entry::Unsure) return key;
    }
    return std::nullopt;
}

StationHolds::Room StationHolds::RoomForEntry(Clock::time_point now, Slot* first) {
    Expire(now);
    if (list_.size() < kListSize) return Room::Free;
    if (first != nullptr) *first = list_.front();
    // An accessory entry leaves after one to two refresh rounds, and only the latest moment is
    // known: until it has surely gone, a new entry may be appended or may overwrite the first,
    // and the list would no longer be known.
    const auto accessory =
        std::find_if(list_.begin(), list_.end(), [](const Slot& slot) { return slot.accessory; });
    if (accessory != list_.end()) {
        if (first != nullptr) *first = *accessory;
        return Room::Blocked;
    }
    const Slot& head = list_.front();
    const Loco& loco = Find(head.number);
    return loco.entry == Entry::Present && loco.speed == 0 ? Room::OverwritesStanding
                                                           : Room::Blocked;
}

std::optional<StationHolds::Clock::time_point> StationHolds::NextLeaving() const {
    std::optional<Clock::time_point> earliest;
    for (const Slot& slot : list_) {
        if (slot.accessory && (!earliest || slot.leaves < *earliest)) earliest = slot.leaves;
    }
    return earliest;
}

void StationHolds::Expire(Clock::time_point now) {
    list_.erase(
        std::remove_if(list_.begin(), list_.end(),
                       [now](const Slot& slot) { return slot.accessory && slot.leaves <= now; }),
        list_.end());
}

void StationHolds::Insert(const Slot& slot, Clock::time_point now) {
    Expire(now);
    if (list_.size() < kListSize) {
        list_.push_back(slot);
        return;
    }
    // The station writes the new entry over its first one.
    const Slot gone = list_.front();
    list_.front() = slot;
    if (!gone.accessory) locos_[gone.number].entry = Entry::Absent;
}

void StationHolds::MaybeMade(Loco& loco) {
    // Made or not, it stands; but a fresh entry switches the decoder's functions off with its
    // refresh, so those that were on are no longer known.
    loco.entry = Entry::Unsure;
    loco.direction = kUnknown;
    loco.mode = kUnknown;
    for (std::uint8_t& f : loco.functions) {
        if (f != 0) f = kUnknown;
    }
}

StationHolds::Loco StationHolds::Fresh(std::uint8_t direction) {
    Loco loco;
    loco.entry = Entry::Present;
    loco.direction = direction;
    loco.speed = 0;
    loco.mode = static_cast<std::uint8_t>(SpeedMode::Steps28);
    return loco;
}

void StationHolds::Direction(std::int32_t key, std::uint8_t direction, CommandOutcome outcome,
                             Clock::time_point now) {
    if (outcome == CommandOutcome::Refused || outcome == CommandOutcome::NotSent) return;
    Loco& loco = locos_[key];
    const bool done = outcome == CommandOutcome::Done;
    switch (loco.entry) {
        case Entry::Absent: {
            Insert(Slot{false, key, {}}, now);
            if (done) {
                loco = Fresh(direction);
                break;
            }
            MaybeMade(loco);
            break;
        }
        case Entry::Unsure:
            // Made by this command or by the one that went unanswered: standing in 28 steps,
            // functions as they were.
            if (done) {
                loco.entry = Entry::Present;
                loco.direction = direction;
                loco.speed = 0;
                loco.mode = static_cast<std::uint8_t>(SpeedMode::Steps28);
            }
            break;
        case Entry::Present:
            // A change of direction stops the locomotive.
            if (loco.direction != direction && loco.speed != 0) {
                loco.speed = loco.direction == kUnknown || !done ? kUnknownSpeed : 0;
            }
            if (done) {
                loco.direction = direction;
            } else if (loco.direction != direction) {
                loco.direction = kUnknown;
            }
            break;
    }
}

void StationHolds::Speed(std::int32_t key, std::int32_t speed, SpeedMode mode,
                         CommandOutcome outcome) {
    if (outcome == CommandOutcome::Refused || outcome == CommandOutcome::NotSent) return;
    Loco& loco = locos_[key];
    const bool done = outcome == CommandOutcome::Done;
    loco.speed = done ? speed : kUnknownSpeed;
    loco.mode = done ? static_cast<std::uint8_t>(mode) : kUnknown;
}

void StationHolds::Function(std::int32_t key, int function, bool on, CommandOutcome outcome,
                            Clock::time_point now) {
    if (outcome == CommandOutcome::Refused || outcome == CommandOutcome::NotSent) return;
    Loco& loco = locos_[key];
    const bool done = outcome == CommandOutcome::Done;
    if (loco.entry == Entry::Absent) {
        Insert(Slot{false, key, {}}, now);
        if (done) {
            loco = Fresh(1);
        } else {
            MaybeMade(loco);
        }
    } else if (loco.entry == Entry::Unsure && done) {
        // Made by this command or by the one that went unanswered.
        loco.entry = Entry::Present;
        loco.mode = static_cast<std::uint8_t>(SpeedMode::Steps28);
    }
    loco.functions[function] = done ? (on ? 1 : 0) : kUnknown;
}

void StationHolds::Turnout(std::int32_t output, CommandOutcome outcome, Clock::time_point now) {
    if (outcome == CommandOutcome::Refused || outcome == CommandOutcome::NotSent) return;
    // An unanswered one may have made its entry: counted as if it had.
    Insert(Slot{true, output, now + kAccessoryLifetime}, now);
}
