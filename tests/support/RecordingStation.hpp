#pragma once

#include "protocol/IStation.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

// The one IStation fake of the tests. It records each call as the command line the station link
// would write for it (addresses with the locomotive base 49152 or the accessory base 0x3800
// added) and answers as scripted: outcomes are taken from the front of the script (Done once it
// is empty), or from an answer function; a CV read finds its value in the CVs set. A gate, open
// unless closed, holds every call until the test lets it through, so that a test decides what is
// "being written" while new wishes arrive. Safe to use from the scheduler's thread and the
// test's at once.
class RecordingStation final : public IStation {
public:
    static constexpr std::int32_t kLocoBase = 49152;
    // How long a wait for calls lasts at most: generous, no test waits it out when all is well.
    static constexpr std::chrono::seconds kWait{10};

    using AnswerFunction = std::function<CommandOutcome(const std::string& call)>;

    // The next answers, in call order.
    void Script(std::deque<CommandOutcome> outcomes) {
        std::lock_guard<std::mutex> lock(mutex_);
        script_ = std::move(outcomes);
    }
    // Answers every call not covered by the script (Done when not set).
    void SetAnswer(AnswerFunction answer) {
        std::lock_guard<std::mutex> lock(mutex_);
        answer_ = std::move(answer);
    }
    void SetCv(std::int32_t cv, std::int32_t value) {
        std::lock_guard<std::mutex> lock(mutex_);
        cvs_[cv] = value;
    }

    // Every call so far, in order.
    std::vector<std::string> Calls() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }
    // The station switched its track off by itself once more.
    void Trip() { ++trips_; }
    std::uint64_t TrackTrips() const override { return trips_; }

    // How many watch pings were sent.
    std::size_t Watches() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return watches_;
    }
    // Forgets the calls so far.
    void ClearCalls() {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.clear();
    }
    // Waits until at least count calls have been made (reached the gate); false after kWait.
    bool WaitForCalls(std::size_t count) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, kWait, [&] { return calls_.size() >= count; });
    }

    // The gate: Close holds every later call until Pass lets one through or Open all of them.
    void Close() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = false;
    }
    void Pass(std::size_t count = 1) {
        std::lock_guard<std::mutex> lock(mutex_);
        passes_ += count;
        changed_.notify_all();
    }
    void Open() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }

    CommandOutcome Greet() override { return Call("setPing()"); }
    // Kept apart from the calls, as the link keeps its watch pings off the console: an idle
    // scheduler sends them whenever a test takes a while.
    CommandOutcome Watch() override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++watches_;
        return CommandOutcome::Done;
    }
    CommandOutcome PowerOn() override { return Call("setPower(1)"); }
    CommandOutcome PowerOff() override { return Call("setPower(0)"); }
    CommandOutcome SetLocoSpeed(std::int32_t address, std::int32_t speed, SpeedMode mode) override {
        return Call("setLocoSpeed(" + Loco(address) + "," + std::to_string(speed) + "," +
                    std::to_string(static_cast<int>(mode)) + ")");
    }
    CommandOutcome SetLocoDirection(std::int32_t address, bool forward) override {
        return Call("setLocoDirection(" + Loco(address) + (forward ? ",1)" : ",2)"));
    }
    CommandOutcome SetLocoFunction(std::int32_t address, std::int32_t function, bool on) override {
        return Call("setLocoFunction(" + Loco(address) + "," + std::to_string(function) +
                    (on ? ",1)" : ",0)"));
    }
    CommandOutcome SetTurnout(std::int32_t output, bool thrown) override {
        return Call("setTurnout(" + std::to_string(0x3800 + output) + (thrown ? ",1)" : ",0)"));
    }
    CommandOutcome SetLocoConfig(std::int32_t cv, std::int32_t value) override {
        return Call("setLocoConfig(49152," + std::to_string(cv) + "," + std::to_string(value) +
                    ")");
    }
    CommandOutcome GetLocoConfig(std::int32_t cv, std::int32_t& value) override {
        const CommandOutcome outcome = Call("getLocoConfig(49152," + std::to_string(cv) + ")");
        if (outcome != CommandOutcome::Done) return outcome;
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = cvs_.find(cv);
        if (found == cvs_.end()) return CommandOutcome::Refused;
        value = found->second;
        return CommandOutcome::Done;
    }

private:
    static std::string Loco(std::int32_t address) { return std::to_string(kLocoBase + address); }

    CommandOutcome Call(std::string call) {
        std::unique_lock<std::mutex> lock(mutex_);
        calls_.push_back(call);
        changed_.notify_all();
        changed_.wait(lock, [&] { return open_ || passes_ > 0; });
        if (!open_) --passes_;
        if (!script_.empty()) {
            const CommandOutcome outcome = script_.front();
            script_.pop_front();
            return outcome;
        }
        return answer_ ? answer_(call) : CommandOutcome::Done;
    }

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> calls_;
    std::deque<CommandOutcome> script_;
    AnswerFunction answer_;
    std::map<std::int32_t, std::int32_t> cvs_;
    bool open_ = true;
    std::size_t passes_ = 0;
    std::size_t watches_ = 0;
    std::atomic<std::uint64_t> trips_{0};
};
