#include "protocol/LocoWishes.hpp"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace {

using Command = LocoWishes::Command;

Command DirectionCommand(std::int32_t key, std::uint8_t direction) {
    Command command;
    command.kind = Command::Kind::Direction;
    command.number = key;
    command.direction = direction;
    return command;
}

Command SpeedCommand(std::int32_t key, std::int32_t speed, SpeedMode mode) {
    Command command;
    command.kind = Command::Kind::Speed;
    command.number = key;
    command.speed = speed;
    command.mode = mode;
    return command;
}

Command FunctionOf(std::int32_t key, int function, bool on) {
    Command command;
    command.kind = Command::Kind::Function;
    command.number = key;
    command.function = function;
    command.on = on;
    return command;
}

Command TurnoutCommand(std::int32_t output, bool thrown) {
    Command command;
    command.kind = Command::Kind::Turnout;
    command.number = output;
    command.on = thrown;
    return command;
}

}  // namespace

bool LocoWishes::Speed(const SpeedWish& asked) {
    Wish& wish = wishes_[asked.key];
    const bool same = wish.hasMotion && wish.direction == asked.direction &&
                      wish.mode == asked.mode && wish.speed == asked.speed;
    // A "D" queued meanwhile must not forget what was asked again after it.
    wish.motionSaid = ++asked_;
    // The same wish again needs nothing new, unless it is a stop or the station refused it.
    if (same && asked.speed != 0 && !wish.directionRefused && !wish.speedRefused) return false;
    wish.hasMotion = true;
    wish.direction = asked.direction;
    wish.mode = asked.mode;
    wish.speed = asked.speed;
    wish.motionAt = wish.motionSaid;
    // A stop overtaken by a newer speed need not be written any more.
    wish.stopPending = asked.speed == 0;
    wish.directionRefused = wish.speedRefused = false;
    offline_ = false;
    return true;
}

bool LocoWishes::Functions(const FunctionWish& asked) {
    Wish& wish = wishes_[asked.key];
    const std::uint64_t at = ++asked_;
    bool changed = false;
    for (int i = 0; i < asked.count; ++i) {
        const int n = asked.first + i;
        const std::uint32_t bit = 1u << n;
        wish.functionSaid[n] = at;
        if (wish.functions[n] == asked.states[i] && (wish.functionsRefused & bit) == 0) continue;
        wish.functions[n] = asked.states[i];
        wish.functionAt[n] = at;
        wish.functionsRefused &= ~bit;
        changed = true;
    }
    if (changed) offline_ = false;
    return changed;
}

void LocoWishes::Turnout(const TurnoutWish& asked) {
    offline_ = false;
    // One whose line may have arrived is sent again in any case (only that settles where its
    // entry went): it carries the newer coil instead.
    for (TurnoutRequest& request : turnouts_) {
        if (request.unsettled && request.output == asked.output) {
            request.thrown = asked.thrown;
            return;
        }
    }
    turnouts_.push_back({++asked_, asked.output, asked.thrown});
}

std::uint64_t LocoWishes::Barrier(Order order, std::vector<std::uint64_t>* withdrawn) {
    QueuedBarrier barrier;
    barrier.id = ++nextBarrier_;
    barrier.at = ++asked_;
    barrier.order = order;
    if (order != Order::Urgent) {
        barriers_.push_back(barrier);
        return barrier.id;
    }
    // Track power on must not come after the emergency stop that overtook it.
    for (auto it = barriers_.begin(); it != barriers_.end();) {
        if (it->order == Order::PowerOn) {
            if (withdrawn != nullptr) withdrawn->push_back(it->id);
            it = barriers_.erase(it);
        } else {
            ++it;
        }
    }
    const auto afterUrgent =
        std::find_if(barriers_.begin(), barriers_.end(),
                     [](const QueuedBarrier& b) { return b.order != Order::Urgent; });
    barriers_.insert(afterUrgent, barrier);
    return barrier.id;
}

std::uint64_t LocoWishes::Forget(std::int32_t key) {
    const std::uint64_t id = Barrier(Order::InLine);
    barriers_.back().forget = true;
    barriers_.back().key = key;
    return id;
}

bool LocoWishes::Withdraw(std::uint64_t barrier) {
    const auto found = std::find_if(barriers_.begin(), barriers_.end(),
                                    [barrier](const QueuedBarrier& b) { return b.id == barrier; });
    if (found == barriers_.end()) return false;
    barriers_.erase(found);
    return true;
}

bool LocoWishes::BeforeBarrier(std::uint64_t at, std::uint64_t boundary) const {
    if (boundary == 0) return true;
    // Railmux's own re-sends never hold up the application's barriers.
    return at > freshAt_ && at < boundary;
}

bool LocoWishes::MotionCommand(std::int32_t key, const Wish& wish, Command& command) const {
    if (!wish.hasMotion) return false;
    const StationHolds::Loco& held = holds_.Find(key);
    switch (held.entry) {
        case StationHolds::Entry::Unsure:
            return false;  // settled before anything else
        case StationHolds::Entry::Absent:
            // Without an entry the station refreshes nothing for it: a decoder standing still
            // stays so. Moving it takes an entry, which its direction makes.
            if (wish.speed == 0 || wish.directionRefused) return false;
            command = DirectionCommand(key, wish.direction);
            return true;
        case StationHolds::Entry::Present:
            break;
    }
    const bool directionDiffers = held.direction != wish.direction;
    const bool stop = wish.speed == 0;
    if (directionDiffers && !wish.directionRefused && !(stop && wish.stopPending)) {
        command = DirectionCommand(key, wish.direction);
        return true;
    }
    // A standing locomotive stands in any mode: the mode goes with the next speed.
    const bool speedDiffers =
        wish.stopPending || held.speed != wish.speed ||
        (wish.speed != 0 && held.mode != static_cast<std::uint8_t>(wish.mode));
    // A speed in a direction the station may not have taken could run the wrong way; a stop
    // is a stop in any direction.
    if (speedDiffers && (!directionDiffers || stop) && !wish.speedRefused) {
        command = SpeedCommand(key, wish.speed, wish.mode);
        return true;
    }
    return false;
}

bool LocoWishes::FunctionCommand(std::int32_t key, const Wish& wish, Command& command,
                                 std::uint64_t& at) const {
    const StationHolds::Loco& held = holds_.Find(key);
    if (held.entry == StationHolds::Entry::Unsure) return false;
    bool found = false;
    for (int n = 0; n < kFunctionCount; ++n) {
        const std::uint8_t on = wish.functions[n];
        if (on == kUnset || held.functions[n] == on) continue;
        if (wish.functionsRefused & (1u << n)) continue;
        if (found && wish.functionAt[n] >= at) continue;
        command = FunctionOf(key, n, on != 0);
        at = wish.functionAt[n];
        found = true;
    }
    return found;
}

bool LocoWishes::MayWrite(const Command& command, bool* noticed, Clock::time_point now) {
    bool makesEntry = command.kind == Command::Kind::Turnout;
    if (command.kind == Command::Kind::Direction || command.kind == Command::Kind::Function) {
        makesEntry = holds_.Find(command.number).entry == StationHolds::Entry::Absent;
    }
    if (!makesEntry) return true;
    if (holds_.FirstUnsure()) return false;
    StationHolds::Slot first;
    if (holds_.RoomForEntry(now, &first) != StationHolds::Room::Blocked) {
        *noticed = false;
        return true;
    }
    // An accessory command in the list leaves within 0.7 s: only a running locomotive in the
    // first place makes a wait worth telling.
    if (*noticed || first.accessory) return false;
    *noticed = true;
    const std::string what = command.kind == Command::Kind::Turnout
                                 ? "Turnout output " + std::to_string(command.number + 1)
                                 : "Locomotive " + std::to_string(command.number);
    char line[320];
    std::snprintf(line, sizeof line,
                  "%s waits for a place on the DSAir2: the station refreshes at most %zu "
                  "locomotives, and the first in its list, locomotive %d, is running. It is sent "
                  "once locomotive %d stands still or the station restarts.\n",
                  what.c_str(), StationHolds::kListSize, static_cast<int>(first.number),
                  static_cast<int>(first.number));
    notices_.emplace_back(line);
    return false;
}

LocoWishes::Step LocoWishes::Next(Clock::time_point now) {
    Step step;
    if (lastCommand_ == Clock::time_point::min()) lastCommand_ = now;
    auto takeBarrier = [&] {
        const QueuedBarrier barrier = barriers_.front();
        barriers_.pop_front();
        if (barrier.forget) ApplyForget(barrier);
        step.kind = Step::Kind::Barrier;
        step.barrier = barrier.id;
        return step;
    };
    auto write = [&](const Command& command) {
        step.kind = Step::Kind::Write;
        step.command = command;
        return step;
    };

    if (!barriers_.empty() && barriers_.front().order == Order::Urgent) return takeBarrier();

    bool waited = false;
    if (!offline_) {
        // Every stop of a locomotive the station runs, the oldest first.
        Wish* stop = nullptr;
        std::int32_t stopKey = 0;
        for (auto& [key, wish] : wishes_) {
            if (!wish.hasMotion || wish.speed != 0 || !wish.stopPending || wish.speedRefused) {
                continue;
            }
            if (!holds_.Moving(key)) continue;
            if (stop == nullptr || wish.motionAt < stop->motionAt) {
                stop = &wish;
                stopKey = key;
            }
        }
        if (stop != nullptr) {
            stop->stopPending = false;
            return write(SpeedCommand(stopKey, 0, stop->mode));
        }

        // An entry that may or may not have been made is settled first (meanwhile no other
        // entry is made: see MayWrite).
        if (const auto unsure = holds_.FirstUnsure()) {
            const auto found = wishes_.find(*unsure);
            const bool known = found != wishes_.end();
            if (!known || !found->second.directionRefused) {
                const bool moving = known && found->second.hasMotion;
                return write(DirectionCommand(*unsure, moving ? found->second.direction : 1));
            }
        }

        const std::uint64_t boundary = barriers_.empty() ? 0 : barriers_.front().at;
        struct Candidate {
            std::uint64_t at;
            Command command;
            Wish* wish;     // null for a turnout
            bool* noticed;  // whether the console was told it waits for a place
        };
        std::vector<Candidate> candidates;
        for (auto& [key, wish] : wishes_) {
            Command command;
            if (BeforeBarrier(wish.motionAt, boundary) && MotionCommand(key, wish, command)) {
                candidates.push_back({wish.motionAt, command, &wish, &wish.waitNoticed});
            }
        }
        if (!turnouts_.empty() && BeforeBarrier(turnouts_.front().at, boundary)) {
            TurnoutRequest& turnout = turnouts_.front();
            candidates.push_back({turnout.at, TurnoutCommand(turnout.output, turnout.thrown),
                                  nullptr, &turnout.waitNoticed});
        }
        const auto byAge = [](const Candidate& a, const Candidate& b) { return a.at < b.at; };
        std::sort(candidates.begin(), candidates.end(), byAge);
        for (const Candidate& candidate : candidates) {
            if (!MayWrite(candidate.command, candidate.noticed, now)) {
                waited = true;
                continue;
            }
            if (candidate.command.kind == Command::Kind::Speed && candidate.command.speed == 0) {
                candidate.wish->stopPending = false;
            }
            return write(candidate.command);
        }

        candidates.clear();
        for (auto& [key, wish] : wishes_) {
            Command command;
            std::uint64_t at = 0;
            if (FunctionCommand(key, wish, command, at) && BeforeBarrier(at, boundary)) {
                candidates.push_back({at, command, &wish, &wish.waitNoticed});
            }
        }
        std::sort(candidates.begin(), candidates.end(), byAge);
        for (const Candidate& candidate : candidates) {
            if (MayWrite(candidate.command, candidate.noticed, now))
                return write(candidate.command);
            waited = true;
        }
    }

    if (!barriers_.empty()) return takeBarrier();
    if (greet_ && !offline_) {
        greet_ = false;
        step.kind = Step::Kind::Greet;
        return step;
    }
    if (waited) {
        if (const auto leaving = holds_.NextLeaving()) step.wake = *leaving;
    }
    if (!offline_) {
        const Clock::time_point due = lastCommand_ + watchAfter_;
        if (now >= due) {
            step.kind = Step::Kind::Watch;
            return step;
        }
        step.wake = std::min(step.wake, due);
    }
    return step;
}

void LocoWishes::Wrote(Clock::time_point now) {
    lastCommand_ = now;
    watchAfter_ = kWatchFirst;
}

void LocoWishes::Watched(CommandOutcome outcome, Clock::time_point now) {
    if (outcome == CommandOutcome::NotSent) offline_ = true;
    lastCommand_ = now;
    watchAfter_ = outcome == CommandOutcome::Unknown ? kWatchFollowUp : kWatchAgain;
}

void LocoWishes::Record(const Command& command, CommandOutcome outcome, Clock::time_point now) {
    if (outcome == CommandOutcome::NotSent) {
        offline_ = true;
    } else {
        greet_ = false;
        Wrote(now);
    }
    // A value whose line may not have arrived is written again, however often: noise on the
    // line must not leave a train running. The station's answers pace the attempts.
    if (outcome == CommandOutcome::Unknown) {
        if (++unknownsInRow_ == kUnknownsToTell) {
            char line[160];
            std::snprintf(line, sizeof line,
                          "The DSAir2 could not read the last %d commands (noise on the serial "
                          "line?); they are sent again.\n",
                          kUnknownsToTell);
            notices_.emplace_back(line);
        }
    } else if (outcome != CommandOutcome::NotSent) {
        unknownsInRow_ = 0;
    }
    // Not tried again until the application asks again.
    const bool refused = outcome == CommandOutcome::Refused;

    const auto found = wishes_.find(command.number);
    Wish* wish =
        command.kind != Command::Kind::Turnout && found != wishes_.end() ? &found->second : nullptr;
    switch (command.kind) {
        case Command::Kind::Direction:
            holds_.Direction(command.number, command.direction, outcome, now);
            // Also for a locomotive whose wishes are gone: its entry may still be unsettled.
            if (refused) wishes_[command.number].directionRefused = true;
            break;
        case Command::Kind::Speed:
            holds_.Speed(command.number, command.speed, command.mode, outcome);
            if (wish != nullptr) {
                if (refused) {
                    wish->speedRefused = true;
                } else if (outcome != CommandOutcome::Done && command.speed == 0 &&
                           wish->hasMotion && wish->speed == 0) {
                    // A stop whose outcome is not known is written again.
                    wish->stopPending = true;
                }
            }
            break;
        case Command::Kind::Function:
            holds_.Function(command.number, command.function, command.on, outcome, now);
            if (wish != nullptr && refused) wish->functionsRefused |= 1u << command.function;
            break;
        case Command::Kind::Turnout: {
            holds_.Turnout(command.number, outcome, now);
            if (turnouts_.empty() || turnouts_.front().output != command.number) break;
            if (outcome == CommandOutcome::Done || refused) {
                turnouts_.pop_front();
                break;
            }
            // Sent again unless the application has set that turnout again since: the newer
            // packet is its last word. One whose line may have arrived stays first, with the
            // newer coil, since only its sending again settles where its entry went; one that
            // reached no station simply gives way.
            const auto newer =
                std::find_if(std::next(turnouts_.begin()), turnouts_.end(),
                             [&](const TurnoutRequest& r) { return r.output == command.number; });
            if (outcome == CommandOutcome::NotSent) {
                if (newer != turnouts_.end()) turnouts_.pop_front();
                break;
            }
            turnouts_.front().unsettled = true;
            if (newer != turnouts_.end()) {
                turnouts_.front().thrown = newer->thrown;
                turnouts_.erase(newer);
            }
            break;
        }
    }
}

void LocoWishes::FreshStation(Clock::time_point now) {
    holds_.Boot();
    // The handshake has just pinged it.
    Wrote(now);
    freshAt_ = asked_;
    greet_ = true;
    offline_ = false;
    unknownsInRow_ = 0;
    for (auto& [key, wish] : wishes_) {
        wish.directionRefused = wish.speedRefused = false;
        wish.functionsRefused = 0;
        // A fresh station runs nothing: there is nothing to stop.
        wish.stopPending = false;
        wish.waitNoticed = false;
    }
}

void LocoWishes::ApplyForget(const QueuedBarrier& barrier) {
    const auto found = wishes_.find(barrier.key);
    if (found == wishes_.end()) return;
    Wish& wish = found->second;
    // What was asked for after the "D" (which may run late) is kept.
    if (wish.motionSaid <= barrier.at) {
        wish.hasMotion = false;
        wish.stopPending = false;
    }
    bool any = wish.hasMotion;
    for (int n = 0; n < kFunctionCount; ++n) {
        if (wish.functionSaid[n] <= barrier.at) wish.functions[n] = kUnset;
        any = any || wish.functions[n] != kUnset;
    }
    if (!any) wishes_.erase(found);
}

std::vector<std::string> LocoWishes::TakeNotices() {
    return std::exchange(notices_, {});
}
