#include "sim/DSAir2Simulator.hpp"

#include "sim/PtyStation.hpp"
#include "sim/SimBoard.hpp"
#include "sim/StationModel.hpp"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

// The shell around SimBoard: the pseudo-terminal, the watch on its opens and closes, the thread
// that reads and writes it with the real clock, and the one lock that guards the board.
class DSAir2Simulator::Impl {
public:
    explicit Impl(SimOptions options) : options_(options), board_(std::move(options)) {}

    ~Impl() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
            actionDone_.notify_all();
        }
        Wake();
        if (thread_.joinable()) thread_.join();
        if (wake_ >= 0) ::close(wake_);
    }

    bool Start(std::string& error) {
        if (thread_.joinable()) {
            error = "simulator already started";
            return false;
        }
        wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wake_ < 0) {
            error = std::string("eventfd: ") + std::strerror(errno);
            return false;
        }
        if (!pty_.Open(options_.linkPath, error)) return false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            deviceName_ = pty_.DeviceName();
            path_ = options_.linkPath.empty() ? deviceName_ : options_.linkPath;
        }
        thread_ = std::thread(&Impl::Run, this);
        return true;
    }

    std::string DeviceName() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return deviceName_;
    }
    std::string Path() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return path_;
    }
    std::vector<std::string> Commands() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return board_.Commands();
    }
    bool WaitForCommands(std::size_t count, std::chrono::milliseconds timeout) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return board_.Commands().size() >= count; });
    }
    bool WaitForState(const std::function<bool(const SimState&)>& condition,
                      std::chrono::milliseconds timeout) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return condition(board_.Station()); });
    }
    int OpenCount() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return board_.OpenCount();
    }
    int PacingViolations() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return board_.PacingViolations();
    }
    bool Listening() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return board_.Listening();
    }
    int SpeedsWithoutEntry() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return board_.Station().speedsWithoutEntry;
    }
    int OverwrittenRunning() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return board_.Station().overwrittenRunning;
    }
    int OverwrittenTurnouts() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return board_.Station().overwrittenTurnouts;
    }
    std::vector<SimOverwrite> Overwritten() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return board_.Station().overwritten;
    }
    SimState State() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return board_.Station();
    }
    bool Plugged() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return board_.Current() != SimBoard::State::Gone;
    }

    void SetStatusFor(const std::string& command, int status) {
        std::lock_guard<std::mutex> lock(mutex_);
        board_.SetStatusFor(command, status);
    }
    void SetReplyDelay(std::chrono::milliseconds delay) {
        std::lock_guard<std::mutex> lock(mutex_);
        board_.SetReplyDelay(delay);
    }
    void SetCv(std::int32_t cv, std::int32_t value) {
        std::lock_guard<std::mutex> lock(mutex_);
        board_.SetCv(cv, value);
    }
    void SetSupplyVoltage(double volts) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            board_.SetSupplyVoltage(volts);
        }
        Wake();
    }
    void ShortCircuit() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            board_.ShortCircuit();
        }
        Wake();
    }
    void LoseNext(const std::string& command, int count) {
        std::lock_guard<std::mutex> lock(mutex_);
        board_.LoseNext(command, count);
    }
    std::vector<std::string> LostLines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return board_.LostLines();
    }
    void SendRaw(const std::string& bytes) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            board_.SendRaw(bytes, Clock::now());
        }
        Wake();
    }

    void Unplug() {
        Call([this] {
            if (pty_.IsOpen()) HangUp(Clock::now());
        });
    }
    bool Replug(std::string& error) {
        bool plugged = false;
        Call([&] { plugged = PlugIn(error); });
        return plugged;
    }
    void Reset() {
        Call([this] {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                board_.Reset(Clock::now());
            }
            Restart();
        });
    }
    void StopReading(bool stop) {
        Call([this, stop] { SetReading(!stop); });
    }

private:
    // Runs action on the simulator's thread and waits until it has (at once before Start).
    void Call(std::function<void()> action) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!thread_.joinable() || stop_) {
            lock.unlock();
            action();
            return;
        }
        actions_.push_back(std::move(action));
        const std::uint64_t ticket = ++actionsQueued_;
        lock.unlock();
        Wake();
        lock.lock();
        actionDone_.wait(lock, [&] { return actionsDone_ >= ticket || stop_; });
    }

    void RunActions() {
        std::vector<std::function<void()>> actions;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            actions.swap(actions_);
        }
        for (auto& action : actions) {
            action();
            std::lock_guard<std::mutex> lock(mutex_);
            ++actionsDone_;
            actionDone_.notify_all();
        }
    }

    void Run() {
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (stop_) return;
            }
            RunActions();
            Step(Clock::now());

            Clock::time_point deadline;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                deadline = board_.NextDeadline();
            }
            int timeout = -1;
            if (deadline != Clock::time_point::max()) {
                const auto wait =
                    std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
                timeout = static_cast<int>(std::clamp<long long>(wait.count(), 0, INT_MAX));
            }
            // While nobody holds the device the master reports a hang-up without end: it is
            // left out then, and the watch tells when the device is opened.
            std::array<pollfd, 3> fds{{{peerOpen_ ? pty_.Fd() : -1, POLLIN, 0},
                                       {pty_.EventFd(), POLLIN, 0},
                                       {wake_, POLLIN, 0}}};
            if (outputBlocked_) fds[0].events |= POLLOUT;
            if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) {
                std::perror("dsair2-sim: poll");
                return;
            }
            if (fds[2].revents & POLLIN) DrainWake();
            const Clock::time_point now = Clock::now();
            if (!pty_.IsOpen()) continue;
            // Bytes already read belong to the opener before any close the watch reports.
            if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) ReadInput(now);
            if (fds[1].revents & POLLIN) HandleDeviceEvents(now);
            if (peerOpen_ && (fds[0].revents & POLLHUP) && !pty_.PeerOpen()) {
                // The watch and the hang-up disagree (lost events): the hang-up is the truth.
                holders_ = 0;
                OnClosed();
            }
            // The watch merges an open of our own (OnClosed's) with the opener's next one while
            // both are unread: once every event is read, the hang-up state says it is held.
            if (pty_.IsOpen() && !peerOpen_ && !pty_.EventsPending() && pty_.PeerOpen()) {
                holders_ = 1;
                OnOpened(now);
            }
            if (fds[0].revents & POLLOUT) outputBlocked_ = false;
        }
    }

    // Brings the board to now, then writes what it hands out and does what follows each output.
    // The state file is written before any reply, so that whoever got the reply sees it.
    void Step(Clock::time_point now) {
        std::vector<SimBoard::Output> outputs;
        std::vector<std::string> notes;
        std::string account;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            outputs = board_.Tick(now);
            notes = board_.TakeNotes();
            if (!options_.stateFile.empty() && board_.Changes() != accounted_) {
                accounted_ = board_.Changes();
                const SimState& state = board_.Station();
                account = StationModel::Describe(state) + "\nrails: " + state.rails;
            }
        }
        changed_.notify_all();
        for (const std::string& note : notes)
            Print(note);
        if (!account.empty()) WriteStateFile(account);
        for (SimBoard::Output& output : outputs)
            pending_.push_back(std::move(output));
        Flush();
    }

    void Flush() {
        while (!pending_.empty() && !outputBlocked_) {
            SimBoard::Output& output = pending_.front();
            if (written_ < output.bytes.size()) {
                if (!pty_.IsOpen()) return;
                const ssize_t count = ::write(pty_.Fd(), output.bytes.data() + written_,
                                              output.bytes.size() - written_);
                if (count < 0) {
                    if (errno == EAGAIN) outputBlocked_ = true;
                    // Any other failure: the opener is gone, which the next read reports.
                    return;
                }
                written_ += static_cast<std::size_t>(count);
                if (written_ < output.bytes.size()) continue;
            }
            const SimBoard::Then then = output.then;
            pending_.pop_front();
            written_ = 0;
            switch (then) {
                case SimBoard::Then::HangUp:
                    ClosePty();
                    return;
                case SimBoard::Then::Reset:
                    Restart();
                    return;
                case SimBoard::Then::StopReading:
                    SetReading(false);
                    break;
                case SimBoard::Then::PlugIn: {
                    std::string error;
                    if (!PlugIn(error)) Print("cannot plug in again: " + error);
                    return;
                }
                case SimBoard::Then::Nothing:
                    break;
            }
        }
    }

    // The device counts as open from the first open of it until the last close, as a serial
    // port whose DTR rises on the first open and falls on the last close.
    void HandleDeviceEvents(Clock::time_point now) {
        events_.clear();
        pty_.ReadEvents(events_);
        for (const PtyStation::Event event : events_) {
            switch (event) {
                case PtyStation::Event::Opened:
                    if (ownOpens_ > 0) {
                        --ownOpens_;
                    } else if (holders_++ == 0) {
                        OnOpened(now);
                    }
                    break;
                case PtyStation::Event::Closed:
                    if (ownCloses_ > 0) {
                        --ownCloses_;
                    } else if (holders_ > 0 && --holders_ == 0) {
                        OnClosed();
                    }
                    break;
                case PtyStation::Event::Overflow:
                    ownOpens_ = ownCloses_ = 0;
                    holders_ = pty_.PeerOpen() ? 1 : 0;
                    if (holders_ == 1 && !peerOpen_) OnOpened(now);
                    if (holders_ == 0 && peerOpen_) OnClosed();
                    break;
            }
        }
    }

    void OnOpened(Clock::time_point now) {
        peerOpen_ = true;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            board_.Opened(now);
        }
        Restart();
    }

    void OnClosed() {
        peerOpen_ = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            board_.Closed();
        }
        Restart();
        // A USB adapter forgets what the host never read; the next opener must not get it.
        // The watch reports this open and close of our own too: the next open and the next
        // close are not counted (any one of each, as they cancel out all the same).
        if (pty_.DropUnreadOutput()) {
            ++ownOpens_;
            ++ownCloses_;
        }
    }

    // The one place where the port follows a restart of the board (an open, a close, a reset):
    // nothing more of what it was writing goes out, and a line that stopped reads again.
    void Restart() {
        pending_.clear();
        written_ = 0;
        outputBlocked_ = false;
        if (stopped_) SetReading(true);
    }

    void ReadInput(Clock::time_point now) {
        for (;;) {
            const ssize_t count = ::read(pty_.Fd(), buffer_.data(), buffer_.size());
            if (count > 0) {
                std::lock_guard<std::mutex> lock(mutex_);
                board_.Feed(std::string(buffer_.data(), static_cast<std::size_t>(count)), now);
                continue;
            }
            if (count < 0 && errno == EINTR) continue;
            // EAGAIN: all read; EIO: the device side is closed, which the watch reports.
            return;
        }
    }

    // Like a station pulled from the USB port: the device and its link disappear and the
    // opener's reads and writes fail.
    void HangUp(Clock::time_point now) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            board_.Unplugged(now);
        }
        ClosePty();
    }

    void ClosePty() {
        pty_.Close();
        peerOpen_ = false;
        stopped_ = false;
        Restart();
    }

    // A new pseudo-terminal under the same link, holding an empty station.
    bool PlugIn(std::string& error) {
        if (pty_.IsOpen()) HangUp(Clock::now());
        if (!OpenRenumbered(error)) return false;
        holders_ = ownOpens_ = ownCloses_ = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            board_.PluggedIn();
            deviceName_ = pty_.DeviceName();
            path_ = options_.linkPath.empty() ? deviceName_ : options_.linkPath;
        }
        Print("plugged in again as " + pty_.DeviceName());
        return true;
    }

    // A replugged adapter usually comes back under another number: the old one's number is kept
    // taken while the new one is made, so that an opener must find it by its link.
    bool OpenRenumbered(std::string& error) {
        std::string previous;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            previous = deviceName_;
        }
        std::vector<int> taken;
        // The lowest free number goes first; a few are enough to pass the old one.
        for (int i = 0; i < 16; ++i) {
            const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
            if (master < 0) break;
            taken.push_back(master);
            char name[PATH_MAX];
            if (::ptsname_r(master, name, sizeof name) != 0 || previous == name) break;
        }
        const bool opened = pty_.Open(options_.linkPath, error);
        for (const int master : taken)
            ::close(master);
        return opened;
    }

    void SetReading(bool reading) {
        if (!pty_.IsOpen() || !pty_.SuspendDeviceOutput(!reading)) return;
        // The watch reports that open and close of the device side too.
        ++ownOpens_;
        ++ownCloses_;
        stopped_ = !reading;
        Print(reading ? "reading again" : "stopped reading: the opener's writes block");
    }

    void WriteStateFile(const std::string& state) const {
        const std::string temporary = options_.stateFile + ".tmp";
        std::FILE* file = std::fopen(temporary.c_str(), "w");
        if (file == nullptr) return;
        const bool written = std::fputs((state + "\n").c_str(), file) >= 0;
        if (std::fclose(file) == 0 && written) {
            std::rename(temporary.c_str(), options_.stateFile.c_str());
        }
    }

    void Print(const std::string& text) const {
        if (!options_.verbose) return;
        const std::string line = text + "\n";
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fflush(stdout);
    }

    void Wake() const {
        if (wake_ < 0) return;
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t ignored = ::write(wake_, &one, sizeof one);
    }

    void DrainWake() const {
        std::uint64_t value;
        [[maybe_unused]] const ssize_t ignored = ::read(wake_, &value, sizeof value);
    }

    const SimOptions options_;
    int wake_ = -1;  // eventfd that ends the thread's poll when something changed
    std::thread thread_;

    // The I/O thread's own once started.
    PtyStation pty_;
    bool peerOpen_ = false;
    int holders_ = 0;   // open file descriptions of the device side, as the watch reports them
    int ownOpens_ = 0;  // reported opens and closes that were the simulator's own
    int ownCloses_ = 0;
    std::vector<PtyStation::Event> events_;
    bool stopped_ = false;                  // not reading: the device side's output is suspended
    std::deque<SimBoard::Output> pending_;  // handed out by the board, not yet written
    std::size_t written_ = 0;               // bytes of pending_.front() already written
    bool outputBlocked_ = false;
    std::uint64_t accounted_ = 0;  // the board's changes the state file shows
    std::array<char, 1024> buffer_{};

    // Everything below is shared with the callers and guarded by mutex_.
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;  // the board moved: commands, state, listening
    bool stop_ = false;
    std::string deviceName_;
    std::string path_;
    SimBoard board_;
    std::vector<std::function<void()>> actions_;
    std::uint64_t actionsQueued_ = 0;
    std::uint64_t actionsDone_ = 0;
    std::condition_variable actionDone_;
};

DSAir2Simulator::DSAir2Simulator(SimOptions options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}
DSAir2Simulator::~DSAir2Simulator() = default;
bool DSAir2Simulator::Start(std::string& error) {
    return impl_->Start(error);
}
std::string DSAir2Simulator::DeviceName() const {
    return impl_->DeviceName();
}
std::string DSAir2Simulator::Path() const {
    return impl_->Path();
}
std::vector<std::string> DSAir2Simulator::Commands() const {
    return impl_->Commands();
}
bool DSAir2Simulator::WaitForCommands(std::size_t count, std::chrono::milliseconds timeout) const {
    return impl_->WaitForCommands(count, timeout);
}
bool DSAir2Simulator::WaitForState(const std::function<bool(const SimState&)>& condition,
                                   std::chrono::milliseconds timeout) const {
    return impl_->WaitForState(condition, timeout);
}
int DSAir2Simulator::OpenCount() const {
    return impl_->OpenCount();
}
int DSAir2Simulator::PacingViolations() const {
    return impl_->PacingViolations();
}
int DSAir2Simulator::SpeedsWithoutEntry() const {
    return impl_->SpeedsWithoutEntry();
}
int DSAir2Simulator::OverwrittenRunning() const {
    return impl_->OverwrittenRunning();
}
int DSAir2Simulator::OverwrittenTurnouts() const {
    return impl_->OverwrittenTurnouts();
}
std::vector<SimOverwrite> DSAir2Simulator::Overwritten() const {
    return impl_->Overwritten();
}
bool DSAir2Simulator::Listening() const {
    return impl_->Listening();
}
SimState DSAir2Simulator::State() const {
    return impl_->State();
}
void DSAir2Simulator::SetStatusFor(const std::string& command, int status) {
    impl_->SetStatusFor(command, status);
}
void DSAir2Simulator::SetReplyDelay(std::chrono::milliseconds delay) {
    impl_->SetReplyDelay(delay);
}
void DSAir2Simulator::SetCv(std::int32_t cv, std::int32_t value) {
    impl_->SetCv(cv, value);
}
void DSAir2Simulator::SetSupplyVoltage(double volts) {
    impl_->SetSupplyVoltage(volts);
}
void DSAir2Simulator::ShortCircuit() {
    impl_->ShortCircuit();
}
void DSAir2Simulator::LoseNext(const std::string& command, int count) {
    impl_->LoseNext(command, count);
}
std::vector<std::string> DSAir2Simulator::LostLines() const {
    return impl_->LostLines();
}
void DSAir2Simulator::SendRaw(const std::string& bytes) {
    impl_->SendRaw(bytes);
}
void DSAir2Simulator::Unplug() {
    impl_->Unplug();
}
bool DSAir2Simulator::Replug(std::string& error) {
    return impl_->Replug(error);
}
void DSAir2Simulator::Reset() {
    impl_->Reset();
}
void DSAir2Simulator::StopReading(bool stop) {
    impl_->StopReading(stop);
}
bool DSAir2Simulator::Plugged() const {
    return impl_->Plugged();
}
