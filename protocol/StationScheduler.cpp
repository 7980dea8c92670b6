#include "protocol/StationScheduler.hpp"

#include "base/StopSignalsBlocked.hpp"
#include "protocol/IStation.hpp"
#include "protocol/LocoTable.hpp"
#include "protocol/TrackPower.hpp"

#include <algorithm>
#include <utility>

namespace {

// How often an idle scheduler looks whether the station was reset or replaced meanwhile.
constexpr std::chrono::milliseconds kEpochCheck{100};
// Longer than any one programming job can run once begun.
constexpr std::chrono::seconds kBegunProgrammingCap{60};

}  // namespace

StationScheduler::StationScheduler(IStation& station, LocoTable& locos, TrackPower& power,
                                   EpochSource epoch, Mode mode)
    : station_(station), locos_(locos), power_(power), epoch_(std::move(epoch)), mode_(mode) {
    if (epoch_) knownEpoch_ = epoch_();
    if (mode_ == Mode::Threaded) {
        const StopSignalsBlocked forTheNewThread;
        thread_ = std::thread(&StationScheduler::Run, this);
    }
}

StationScheduler::~StationScheduler() {
    Stop();
}

void StationScheduler::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!stopping_) {
            stopping_ = true;
            for (Item& item : queue_) {
                if (item.barrier) item.barrier->dropped = true;
            }
            queue_.clear();
        }
    }
    changed_.notify_all();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void StationScheduler::SetSpeed(std::int32_t key, std::uint8_t direction, NDSDCC::SpeedMode mode,
                                std::int32_t speed) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return;
        Wanted& wanted = wanted_[key];
        // The same wish again, already carried out in full: nothing to do (a stop always is).
        if (speed != 0 && wanted.hasMotion && wanted.direction == direction &&
            wanted.mode == static_cast<std::uint8_t>(mode) && wanted.speed == speed &&
            Settled(wanted)) {
            return;
        }
        wanted.hasMotion = true;
        wanted.direction = direction;
        wanted.mode = static_cast<std::uint8_t>(mode);
        wanted.speed = speed;
        // A stop overtaken by a newer speed need not be written any more.
        wanted.stopPending = speed == 0;
        wanted.directionRefused = wanted.speedRefused = false;
        wanted.version = wanted.motionAsked = ++changes_;
        QueueLoco(key, wanted);
    }
    changed_.notify_all();
}

void StationScheduler::SetFunctions(std::int32_t key, int first, int count,
                                    const std::uint8_t* states) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return;
        Wanted& wanted = wanted_[key];
        if (Settled(wanted) &&
            std::equal(states, states + count, wanted.functions.begin() + first)) {
            return;
        }
        wanted.version = ++changes_;
        for (int i = 0; i < count; ++i) {
            wanted.functions[first + i] = states[i];
            wanted.functionsRefused &= ~(1u << (first + i));
            wanted.functionAsked[first + i] = changes_;
        }
        QueueLoco(key, wanted);
    }
    changed_.notify_all();
}

void StationScheduler::ThrowTurnout(std::int32_t output, bool thrown) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return;
        // Newer than one the station did not take: that one is not sent again after this.
        unthrown_.erase(output);
        Item item(Item::Kind::Turnout, output);
        item.thrown = thrown;
        queue_.push_back(item);
    }
    changed_.notify_all();
}

bool StationScheduler::RunBarrier(Job job, Order order, Clock::time_point deadline) {
    auto barrier = std::make_shared<Barrier>();
    barrier->job = std::move(job);
    barrier->order = order;
    const bool urgent = order == Order::Urgent;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return false;
        if (urgent) Withdraw([](const Item& item) { return item.Is(Order::PowerOn); });
        Item item(Item::Kind::Barrier);
        item.urgent = urgent;
        item.barrier = barrier;
        queue_.insert(urgent ? AfterUrgent() : queue_.end(), item);
    }
    changed_.notify_all();
    if (mode_ == Mode::Manual) RunPending();

    std::unique_lock<std::mutex> lock(mutex_);
    const auto ended = [&] { return barrier->done || barrier->dropped; };
    changed_.wait_until(lock, deadline, ended);
    if (order == Order::Programming && !ended()) {
        if (barrier->begun) {
            // Its reply must tell what it did: once begun it is waited for to its end, which
            // the station link's own time-outs bound (the cap is a safety net only).
            changed_.wait_until(lock, deadline + kBegunProgrammingCap, ended);
        } else {
            Withdraw([&barrier](const Item& item) { return item.barrier == barrier; });
        }
    }
    return barrier->done;
}

template <typename Predicate>
void StationScheduler::Withdraw(Predicate predicate) {
    for (Item& item : queue_) {
        if (predicate(item)) item.barrier->dropped = true;
    }
    queue_.erase(std::remove_if(queue_.begin(), queue_.end(), predicate), queue_.end());
}

bool StationScheduler::Forget(std::int32_t key, Clock::time_point deadline) {
    // Wishes come from one thread, the caller's: none can come between this and the queueing.
    std::uint64_t asked;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        asked = changes_;
    }
    return RunBarrier(
        [this, key, asked](IStation&, LocoTable& locos, TrackPower&) {
            locos.Forget(key);
            std::lock_guard<std::mutex> lock(mutex_);
            const auto found = wanted_.find(key);
            if (found == wanted_.end()) return;
            Wanted& wanted = found->second;
            if (wanted.version <= asked) {
                wanted_.erase(found);
                return;
            }
            // Asked for after the "D" (which ran late): that alone is carried out, to a
            // forgotten entry; what was asked before it is forgotten with it.
            if (wanted.motionAsked <= asked) wanted.hasMotion = wanted.stopPending = false;
            for (int n = 0; n < LocoState::kFunctionCount; ++n) {
                if (wanted.functionAsked[n] <= asked) wanted.functions[n] = LocoState::kUnknown;
            }
            QueueLoco(key, wanted);
        },
        Order::InLine, deadline);
}

void StationScheduler::RunPending() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_ && Step(lock)) {
    }
}

void StationScheduler::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        if (!Step(lock)) changed_.wait_for(lock, kEpochCheck);
    }
}

bool StationScheduler::Settled(const Wanted& wanted) {
    // Out of the queue with nothing refused: every wish was written and taken (a fresh station
    // queues every locomotive again).
    return !wanted.queued && !wanted.directionRefused && !wanted.speedRefused &&
           wanted.functionsRefused == 0;
}

void StationScheduler::QueueLoco(std::int32_t key, Wanted& wanted) {
    if (wanted.queued) return;
    wanted.queued = true;
    queue_.emplace_back(Item::Kind::Loco, key);
}

std::deque<StationScheduler::Item>::iterator StationScheduler::BeforeBarriers() {
    auto at = queue_.end();
    while (at != queue_.begin() && std::prev(at)->kind == Item::Kind::Barrier)
        --at;
    return at;
}

std::deque<StationScheduler::Item>::iterator StationScheduler::AfterUrgent() {
    return std::find_if(queue_.begin(), queue_.end(),
                        [](const Item& item) { return !item.urgent; });
}

void StationScheduler::CheckEpoch() {
    if (!epoch_) return;
    const std::uint64_t epoch = epoch_();
    if (epoch == knownEpoch_) return;
    knownEpoch_ = epoch;
    locos_.ForgetAll();
    power_.Forget();
    // A fresh station must hear a command soon, wanted states or not.
    greet_ = true;
    for (auto& [key, wanted] : wanted_) {
        wanted.directionRefused = wanted.speedRefused = false;
        wanted.functionsRefused = 0;
        // A stop the station may not have seen is sent to the fresh one as well.
        if (wanted.hasMotion && wanted.speed == 0) wanted.stopPending = true;
        if (!wanted.queued) {
            wanted.queued = true;
            queue_.insert(BeforeBarriers(), Item(Item::Kind::Loco, key));
        }
    }
    for (const auto& [output, thrown] : unthrown_) {
        Item item(Item::Kind::Turnout, output);
        item.thrown = thrown;
        queue_.insert(BeforeBarriers(), item);
    }
    unthrown_.clear();
}

StationScheduler::Command StationScheduler::Next(std::int32_t key, const Wanted& wanted) {
    Command command;
    command.key = key;
    const LocoState* held = locos_.Find(key);
    const LocoState unknown;
    if (held == nullptr) held = &unknown;

    if (wanted.hasMotion) {
        const bool directionDiffers = held->direction != wanted.direction;
        if (directionDiffers && !wanted.directionRefused) {
            command.kind = Command::Kind::Direction;
            command.direction = wanted.direction;
            return command;
        }
        const bool speedDiffers =
            wanted.stopPending || held->speed != wanted.speed || held->mode != wanted.mode;
        // A speed in a direction the station may not have taken could run the wrong way; a
        // stop is a stop in any direction.
        const bool mayRun = !directionDiffers || wanted.speed == 0;
        if (speedDiffers && mayRun && !wanted.speedRefused) {
            command.kind = Command::Kind::Speed;
            command.mode = static_cast<NDSDCC::SpeedMode>(wanted.mode);
            command.speed = wanted.speed;
            return command;
        }
    }
    for (int n = 0; n < LocoState::kFunctionCount; ++n) {
        const std::uint8_t on = wanted.functions[n];
        if (on == LocoState::kUnknown || held->functions[n] == on) continue;
        if (wanted.functionsRefused & (1u << n)) continue;
        command.kind = Command::Kind::Function;
        command.function = n;
        command.on = on != 0;
        return command;
    }
    return command;
}

bool StationScheduler::Write(const Command& command) {
    // Entries appear only for locomotives a command went to.
    LocoState& held = locos_.Entry(command.key);
    switch (command.kind) {
        case Command::Kind::Direction:
            if (station_.SetLocoDirection(command.key, command.direction != 0)) {
                // The station stops a locomotive whose direction changes.
                held.direction = command.direction;
                held.speed = 0;
                return true;
            }
            held.direction = LocoState::kUnknown;
            held.speed = LocoState::kUnknownSpeed;
            return false;
        case Command::Kind::Speed:
            if (station_.SetLocoSpeed(command.key, command.speed, command.mode)) {
                held.speed = command.speed;
                held.mode = static_cast<std::uint8_t>(command.mode);
                return true;
            }
            held.speed = LocoState::kUnknownSpeed;
            held.mode = LocoState::kUnknown;
            return false;
        case Command::Kind::Function: {
            const bool accepted =
                station_.SetLocoFunction(command.key, command.function, command.on);
            held.functions[command.function] =
                accepted ? (command.on ? 1 : 0) : LocoState::kUnknown;
            return accepted;
        }
        case Command::Kind::None:
            break;
    }
    return true;
}

bool StationScheduler::Step(std::unique_lock<std::mutex>& lock) {
    CheckEpoch();
    if (queue_.empty()) {
        if (!greet_) return false;
        // After what was queued, which usually reached the station already.
        greet_ = false;
        lock.unlock();
        station_.Greet();
        lock.lock();
        return true;
    }
    Item item = queue_.front();
    queue_.pop_front();

    switch (item.kind) {
        case Item::Kind::Barrier:
            item.barrier->begun = true;
            lock.unlock();
            item.barrier->job(station_, locos_, power_);
            lock.lock();
            item.barrier->done = true;
            changed_.notify_all();
            return true;
        case Item::Kind::Turnout: {
            greet_ = false;
            lock.unlock();
            const bool thrown = station_.SetTurnout(item.key, item.thrown);
            lock.lock();
            // One that did not reach the station (it was gone, or did not answer) goes to the
            // next fresh station: the application shows it thrown. Only the latest per output.
            if (thrown) {
                unthrown_.erase(item.key);
            } else {
                unthrown_[item.key] = item.thrown;
            }
            return true;
        }
        case Item::Kind::Loco:
            break;
    }

    // Nothing to write (or a "D" removed the locomotive since): it leaves the queue.
    auto found = wanted_.find(item.key);
    if (found == wanted_.end()) return true;
    if (Next(item.key, found->second).kind == Command::Kind::None) {
        found->second.queued = false;
        return true;
    }
    // The station's pause after its last answer comes first, so that the command written is
    // the newest wish: packets keep arriving meanwhile.
    lock.unlock();
    station_.AwaitReady();
    lock.lock();
    found = wanted_.find(item.key);
    if (found == wanted_.end() || stopping_) return true;
    // Track power off that came meanwhile goes before a command not yet written.
    if (!queue_.empty() && queue_.front().urgent) {
        queue_.insert(AfterUrgent(), item);
        return true;
    }
    const Command command = Next(item.key, found->second);
    if (command.kind == Command::Kind::None) {
        found->second.queued = false;
        return true;
    }
    const std::uint64_t version = found->second.version;
    if (command.kind == Command::Kind::Speed && command.speed == 0)
        found->second.stopPending = false;
    greet_ = false;
    lock.unlock();
    const bool accepted = Write(command);
    lock.lock();

    found = wanted_.find(item.key);
    if (found == wanted_.end()) return true;
    Wanted& wanted = found->second;
    if (!accepted) {
        switch (command.kind) {
            case Command::Kind::Direction:
                wanted.directionRefused = true;
                break;
            case Command::Kind::Speed:
                wanted.speedRefused = true;
                break;
            case Command::Kind::Function:
                wanted.functionsRefused |= 1u << command.function;
                break;
            case Command::Kind::None:
                break;
        }
    }
    // Changed while its command was written: it queues again behind the others; otherwise its
    // next command (speed after direction, then functions) follows at once.
    queue_.insert(wanted.version != version ? BeforeBarriers() : AfterUrgent(),
                  Item(Item::Kind::Loco, item.key));
    return true;
}
