#include "protocol/StationScheduler.hpp"

#include "base/ConsoleLog.hpp"
#include "base/StopSignalsBlocked.hpp"
#include "protocol/IStation.hpp"
#include "protocol/TrackPower.hpp"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace {

// How often an idle scheduler looks whether the station was reset or replaced meanwhile.
constexpr std::chrono::milliseconds kEpochCheck{100};
// Longer than any one programming job can run once begun.
constexpr std::chrono::seconds kBegunProgrammingCap{60};

LocoWishes::Order CoreOrder(StationScheduler::Order order) {
    switch (order) {
        case StationScheduler::Order::Urgent:
            return LocoWishes::Order::Urgent;
        case StationScheduler::Order::PowerOn:
            return LocoWishes::Order::PowerOn;
        case StationScheduler::Order::InLine:
        case StationScheduler::Order::Programming:
            break;
    }
    return LocoWishes::Order::InLine;
}

}  // namespace

StationScheduler::StationScheduler(IStation& station, TrackPower& power, EpochSource epoch,
                                   Mode mode)
    : station_(station), power_(power), epoch_(std::move(epoch)), mode_(mode) {
    if (epoch_) knownEpoch_ = epoch_();
    knownTrips_ = station_.TrackTrips();
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
            for (auto& entry : barriers_) {
                if (entry.second->progress == Progress::Queued) {
                    wishes_.Withdraw(entry.first);
                    entry.second->progress = Progress::Withdrawn;
                }
            }
        }
    }
    changed_.notify_all();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void StationScheduler::SetSpeed(const SpeedWish& wish) {
    bool work;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        work = !stopping_ && wishes_.Speed(wish);
    }
    if (work) changed_.notify_all();
}

void StationScheduler::SetFunctions(const FunctionWish& wish) {
    bool work;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        work = !stopping_ && wishes_.Functions(wish);
    }
    if (work) changed_.notify_all();
}

void StationScheduler::ThrowTurnout(const TurnoutWish& wish) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return;
        wishes_.Turnout(wish);
    }
    changed_.notify_all();
}

bool StationScheduler::RunBarrier(Job job, Order order, Clock::time_point deadline) {
    auto barrier = std::make_shared<Barrier>();
    barrier->job = std::move(job);
    barrier->order = order;
    std::uint64_t id;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return false;
        std::vector<std::uint64_t> withdrawn;
        id = wishes_.Barrier(CoreOrder(order), &withdrawn);
        for (const std::uint64_t other : withdrawn)
            End(other, Progress::Withdrawn);
        barriers_.emplace(id, barrier);
    }
    return Await(id, std::move(barrier), deadline);
}

bool StationScheduler::Forget(std::int32_t key, Clock::time_point deadline) {
    auto barrier = std::make_shared<Barrier>();
    std::uint64_t id;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return false;
        id = wishes_.Forget(key);
        barriers_.emplace(id, barrier);
    }
    return Await(id, std::move(barrier), deadline);
}

bool StationScheduler::Await(std::uint64_t id, std::shared_ptr<Barrier> barrier,
                             Clock::time_point deadline) {
    changed_.notify_all();
    if (mode_ == Mode::Manual) RunPending();

    std::unique_lock<std::mutex> lock(mutex_);
    const auto ended = [&] {
        return barrier->progress == Progress::Done || barrier->progress == Progress::Withdrawn;
    };
    changed_.wait_until(lock, deadline, ended);
    if (barrier->order == Order::Programming && !ended()) {
        if (barrier->progress == Progress::Running) {
            // Its reply must tell what it did: once begun it is waited for to its end, which
            // the station link's own time-outs bound (the cap is a safety net only).
            changed_.wait_until(lock, deadline + kBegunProgrammingCap, ended);
        } else if (wishes_.Withdraw(id)) {
            End(id, Progress::Withdrawn);
        }
    }
    return barrier->progress == Progress::Done;
}

void StationScheduler::End(std::uint64_t id, Progress progress) {
    const auto found = barriers_.find(id);
    if (found == barriers_.end()) return;
    found->second->progress = progress;
    barriers_.erase(found);
}

void StationScheduler::RunPending() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_ && Step(lock)) {
    }
}

void StationScheduler::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        if (Step(lock)) continue;
        const Clock::time_point poll = Clock::now() + kEpochCheck;
        changed_.wait_until(lock, std::min(wake_, poll));
    }
}

void StationScheduler::CheckStation() {
    const std::uint64_t trips = station_.TrackTrips();
    if (trips != knownTrips_) {
        knownTrips_ = trips;
        // The track is off: leaving programming must not switch it back on.
        power_.Forget();
    }
    if (!epoch_) return;
    const std::uint64_t epoch = epoch_();
    if (epoch == knownEpoch_) return;
    knownEpoch_ = epoch;
    wishes_.FreshStation(Clock::now());
    // The protocol cannot tell the application that the track went off; trains must not start
    // without a person asking, so the console says it instead of switching it on.
    if (power_.RequestedOn()) {
        lines_.emplace_back(
            "Track power is off because the DSAir2 restarted; switch it on again from the "
            "application.\n");
    }
    power_.Forget();
}

bool StationScheduler::Step(std::unique_lock<std::mutex>& lock) {
    // The station's pause after its last answer comes first, so that the command chosen is the
    // newest wish: packets keep arriving meanwhile.
    lock.unlock();
    station_.AwaitReady();
    lock.lock();
    if (stopping_) return false;
    CheckStation();
    const LocoWishes::Step step = wishes_.Next(Clock::now());
    std::vector<std::string> notices = std::move(lines_);
    lines_.clear();
    for (std::string& notice : wishes_.TakeNotices())
        notices.push_back(std::move(notice));
    if (!notices.empty()) {
        lock.unlock();
        for (const std::string& notice : notices)
            ConsoleLog("%s", notice.c_str());
        lock.lock();
    }
    wake_ = Clock::time_point::max();

    switch (step.kind) {
        case LocoWishes::Step::Kind::Idle:
            wake_ = step.wake;
            // A wish that came while the lock was given up for the console is looked at again.
            return !notices.empty();
        case LocoWishes::Step::Kind::Greet:
            lock.unlock();
            station_.Greet();
            lock.lock();
            wishes_.Wrote(Clock::now());
            return true;
        case LocoWishes::Step::Kind::Watch: {
            lock.unlock();
            const CommandOutcome outcome = station_.Watch();
            lock.lock();
            wishes_.Watched(outcome, Clock::now());
            return true;
        }
        case LocoWishes::Step::Kind::Barrier: {
            const auto found = barriers_.find(step.barrier);
            if (found == barriers_.end()) return true;
            const std::shared_ptr<Barrier> barrier = found->second;
            barrier->progress = Progress::Running;
            if (barrier->job) {
                lock.unlock();
                barrier->job(station_, power_);
                lock.lock();
                wishes_.Wrote(Clock::now());
            }
            End(step.barrier, Progress::Done);
            changed_.notify_all();
            return true;
        }
        case LocoWishes::Step::Kind::Write: {
            if (epoch_) station_.ForStation(knownEpoch_);
            lock.unlock();
            const CommandOutcome outcome = Write(step.command);
            lock.lock();
            wishes_.Record(step.command, outcome, Clock::now());
            return true;
        }
    }
    return false;
}

CommandOutcome StationScheduler::Write(const LocoWishes::Command& command) {
    using Kind = LocoWishes::Command::Kind;
    switch (command.kind) {
        case Kind::Direction:
            return station_.SetLocoDirection(command.number, command.direction != 0);
        case Kind::Speed:
            return station_.SetLocoSpeed(command.number, command.speed, command.mode);
        case Kind::Function:
            return station_.SetLocoFunction(command.number, command.function, command.on);
        case Kind::Turnout:
            return station_.SetTurnout(command.number, command.on);
    }
    return CommandOutcome::NotSent;
}
