#include "sim/DSAir2Simulator.hpp"

#include "sim/PtyStation.hpp"
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
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kLineTimeout = 300ms;  // the station forgets an incomplete line
constexpr auto kByteGap = 1ms;        // between the bytes of a reply delivered one by one
// From the open (the board's reset) to the first banner line, and the SD card's check. The
// default settle gives the opener time to set its line modes before the banner comes.
constexpr auto kBootSettle = 150ms;
constexpr auto kRealBootSettle = 1300ms;
constexpr auto kSdInit = 20ms;
constexpr auto kRealSdInit = 200ms;
constexpr auto kRealPowerOn = 360ms;
constexpr auto kRealCvWrite = 650ms;
constexpr auto kRealCvRead = 1600ms;
constexpr auto kRealCvReadNoDecoder = 5000ms;
const char kGarbage[] = "~#%garbage%#~";

std::string StatusLine(int code) {
    switch (code) {
        case 100:
            return "100 Ready";
        case 200:
            return "200 Ok";
        case 300:
            return "300 Cmd err";
        case 301:
            return "301 Stx err";
        default:
            return std::to_string(code) + " Err";
    }
}

// Control characters shown as escapes, so that the console shows what came over the line.
std::string Printable(const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\r') {
            out += "\\r";
        } else if (byte < 0x20 || byte >= 0x7f) {
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

class DSAir2Simulator::Impl {
public:
    explicit Impl(SimOptions options)
        : options_(std::move(options)),
          eol_(options_.lfOnly ? "\n" : "\r\n"),
          statusFor_(options_.statusFor),
          replyDelay_(options_.replyDelay) {}

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
        return commands_;
    }
    bool WaitForCommands(std::size_t count, std::chrono::milliseconds timeout) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return commandArrived_.wait_for(lock, timeout, [&] { return commands_.size() >= count; });
    }
    bool WaitForState(const std::function<bool(const SimState&)>& condition,
                      std::chrono::milliseconds timeout) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return commandArrived_.wait_for(lock, timeout, [&] { return condition(model_.State()); });
    }
    int OpenCount() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return openCount_;
    }
    int PacingViolations() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return pacingViolations_;
    }
    bool Listening() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return listening_;
    }
    SimState State() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return model_.State();
    }
    void SetStatusFor(const std::string& command, int status) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (status < 0) {
            statusFor_.erase(command);
        } else {
            statusFor_[command] = status;
        }
    }
    void SetReplyDelay(std::chrono::milliseconds delay) {
        std::lock_guard<std::mutex> lock(mutex_);
        replyDelay_ = delay;
    }
    void SetCv(std::int32_t cv, std::int32_t value) {
        std::lock_guard<std::mutex> lock(mutex_);
        model_.SetCv(cv, value);
    }
    void SendRaw(const std::string& bytes) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            raw_.push_back(bytes);
        }
        Wake();
    }
    void Unplug() {
        Call([this] {
            if (!gone_) HangUp();
        });
    }
    bool Replug(std::string& error) {
        bool plugged = false;
        Call([&] { plugged = PlugIn(error); });
        return plugged;
    }
    void Reset() {
        Call([this] { Reboot(Clock::now()); });
    }
    void StopReading(bool stop) {
        Call([this, stop] { SetReading(!stop); });
    }
    bool Plugged() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return plugged_;
    }

private:
    // What the station does once a chunk is out.
    enum class Then { Nothing, HangUp, Reset, StopReading };

    struct Chunk {
        Clock::time_point due;
        std::string bytes;
        bool trickle = false;  // one byte per write, kByteGap apart
        Then then = Then::Nothing;
        bool endsOk = false;  // ends with a "200 Ok"
    };

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
            Clock::time_point now = Clock::now();
            if (gone_) {
                if (now >= replugDue_) {
                    std::string error;
                    if (!PlugIn(error)) Print("cannot plug in again: " + error);
                    continue;
                }
                WaitForWake(replugDue_ == Clock::time_point::max()
                                ? -1
                                : static_cast<int>(
                                      std::chrono::ceil<std::chrono::milliseconds>(replugDue_ - now)
                                          .count()));
                continue;
            }
            if (peerOpen_) TakeRaw(now);

            Clock::time_point deadline = Clock::time_point::max();
            if (booting_) deadline = std::min(deadline, bannerDue_);
            if (!partial_.empty()) deadline = std::min(deadline, lastByte_ + kLineTimeout);
            if (!out_.empty() && !outputBlocked_) deadline = std::min(deadline, out_.front().due);
            if (!held_.empty()) deadline = std::min(deadline, busyUntil_);
            deadline = std::min(deadline, listenDue_);
            int timeout = -1;
            if (peerOpen_ && deadline != Clock::time_point::max()) {
                const auto wait = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
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
            now = Clock::now();
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
            if (!gone_ && !peerOpen_ && !pty_.EventsPending() && pty_.PeerOpen()) {
                holders_ = 1;
                OnOpened(now);
            }
            if (!peerOpen_) continue;
            if (fds[0].revents & POLLOUT) outputBlocked_ = false;
            if (booting_ && now >= bannerDue_) SendBanner(now);
            if (now >= listenDue_) StopListening();
            if (!held_.empty() && now >= busyUntil_) {
                // Done with its command, the station reads what waited in its buffer.
                std::string held;
                held.swap(held_);
                Feed(held.data(), held.size(), now, false);
            }
            if (!partial_.empty() && now - lastByte_ >= kLineTimeout) {
                Print("incomplete line dropped: " + Printable(partial_));
                partial_.clear();
            }
            WriteDue(Clock::now());
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
        booting_ = true;
        bannerDue_ = now + (options_.realTimings ? kRealBootSettle : kBootSettle);
        ClearInput();
        out_.clear();
        written_ = 0;
        outputBlocked_ = false;
        // Opening the port resets the board, which then reads again and has forgotten everything.
        if (stopped_) SetReading(true);
        ForgetState();
        int count;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            count = ++openCount_;
        }
        Print("device opened (open " + std::to_string(count) + "), station booting");
    }

    void OnClosed() {
        peerOpen_ = false;
        booting_ = false;
        ClearInput();
        out_.clear();
        written_ = 0;
        outputBlocked_ = false;
        // A USB adapter forgets what the host never read; the next opener must not get it.
        // The watch reports this open and close of our own too: the next open and the next
        // close are not counted (any one of each, as they cancel out all the same).
        if (pty_.DropUnreadOutput()) {
            ++ownOpens_;
            ++ownCloses_;
        }
        Print("device closed");
    }

    void SendBanner(Clock::time_point now) {
        booting_ = false;
        Enqueue("Desktop Station air" + eol_ + "HW: DSair2" + eol_ + "-------------" + eol_ +
                    "Init SD card...",
                now);
        const auto sdInit = options_.realTimings ? kRealSdInit : kSdInit;
        Enqueue("OK" + eol_ + (options_.sendReady ? "100 Ready" + eol_ : std::string()),
                now + sdInit, options_.hangUpAfter == 0 ? Then::HangUp : Then::Nothing);
        if (options_.listenWindow.count() > 0) listenDue_ = now + sdInit + options_.listenWindow;
        Print(options_.sendReady ? "boot banner sent" : "boot banner sent without \"100 Ready\"");
    }

    void TakeRaw(Clock::time_point now) {
        std::vector<std::string> raw;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            raw.swap(raw_);
        }
        for (std::string& bytes : raw)
            Enqueue(std::move(bytes), now);
    }

    void ReadInput(Clock::time_point now) {
        for (;;) {
            const ssize_t count = ::read(pty_.Fd(), buffer_.data(), buffer_.size());
            if (count > 0) {
                Feed(buffer_.data(), static_cast<std::size_t>(count), now, true);
                if (gone_) return;
                continue;
            }
            if (count < 0 && errno == EINTR) continue;
            // EAGAIN: all read; EIO: the device side is closed, which the watch reports.
            return;
        }
    }

    // fresh: the bytes have just arrived (not taken from the buffer after a busy spell).
    void Feed(const char* bytes, std::size_t count, Clock::time_point now, bool fresh) {
        if (booting_) {
            // The board is still in its reset; whatever arrives now is lost.
            Print("ignored " + std::to_string(count) + " bytes received while booting");
            return;
        }
        if (deaf_) {
            Print("ignored " + std::to_string(count) +
                  " bytes: not listening to the serial line until the next reset");
            return;
        }
        for (std::size_t i = 0; i < count && !gone_; ++i) {
            if (now < busyUntil_) {
                Hold(bytes + i, count - i);
                return;
            }
            const char c = bytes[i];
            if (c == '\n') {
                if (fresh) CheckPacing(now);
                HandleLine(partial_, now);
                partial_.clear();
                continue;
            }
            // One byte past the station's buffer is enough to have the line dropped.
            if (partial_.size() <= StationModel::kMaxLine) partial_.push_back(c);
            lastByte_ = now;
        }
    }

    void HandleLine(const std::string& line, Clock::time_point now) {
        StationReply reply;
        std::size_t count = 0;
        std::chrono::milliseconds delay{0};
        std::string state;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            reply = model_.Handle(line);
            if (reply.command) {
                std::string received = line;
                if (!received.empty() && received.back() == '\r') received.pop_back();
                commands_.push_back(std::move(received));
                count = commands_.size();
                const auto status = statusFor_.find(reply.name);
                if (status != statusFor_.end()) {
                    if (status->second == 0) {
                        reply.lines.clear();
                    } else if (!reply.lines.empty()) {
                        reply.lines.back() = StatusLine(status->second);
                    }
                    reply.status = status->second;
                }
                delay = replyDelay_;
                if (!options_.stateFile.empty()) {
                    state =
                        StationModel::Describe(model_.State()) + "\nrails: " + model_.State().rails;
                }
            }
        }
        // A line, even a refused one, keeps a station with a wireless card listening.
        if (!line.empty()) listenDue_ = Clock::time_point::max();
        if (!reply.command) {
            if (!line.empty()) Print(reply.change + ": " + Printable(line.substr(0, 40)) + "...");
            return;
        }
        commandArrived_.notify_all();
        // The state is on disk before the reply goes out, so whoever got the reply sees it.
        if (!state.empty()) WriteStateFile(state);

        std::string shown = Printable(line);
        if (shown.size() >= 2 && shown.compare(shown.size() - 2, 2, "\\r") == 0) {
            shown.resize(shown.size() - 2);
        }
        std::string note = shown + "  -> " + reply.change;
        if (reply.lines.empty()) {
            note += "  [no answer]";
        } else if (reply.status != 200) {
            note += "  [" + reply.lines.back() + "]";
        }
        Print(note);

        Clock::time_point at = std::max(now, out_.empty() ? now : out_.back().due) + delay;
        busyUntil_ = at;
        const Then then = ThenAfter(count);
        if (reply.lines.empty()) {
            if (then != Then::Nothing) Enqueue("", at, then);
            return;
        }
        if (options_.garbage) Enqueue(kGarbage + eol_, at);
        // Where the real station spends its time: before the first line, or between the
        // CV write's acknowledgement and its completion.
        std::size_t later = 0;
        auto work = Clock::duration::zero();
        if (options_.realTimings) {
            switch (reply.work) {
                case StationReply::Work::PowerOn:
                    work = kRealPowerOn;
                    break;
                case StationReply::Work::CvRead:
                    work = kRealCvRead;
                    break;
                case StationReply::Work::CvReadNoDecoder:
                    work = kRealCvReadNoDecoder;
                    break;
                case StationReply::Work::CvWrite:
                    work = kRealCvWrite;
                    later = reply.lines.size() - 1;
                    break;
                case StationReply::Work::None:
                    break;
            }
        }
        std::string first, rest;
        for (std::size_t i = 0; i < reply.lines.size(); ++i) {
            (i < later ? first : rest) += reply.lines[i] + eol_;
        }
        if (!first.empty()) Enqueue(std::move(first), at);
        Enqueue(std::move(rest), at + work, then);
        out_.back().endsOk = reply.status == 200;
        // Until its status line, the station reads nothing: what comes meanwhile waits.
        busyUntil_ = at + work;
    }

    void Hold(const char* bytes, std::size_t count) {
        const std::size_t room =
            StationModel::kMaxLine - std::min(held_.size(), StationModel::kMaxLine);
        const std::size_t kept = std::min(room, count);
        held_.append(bytes, kept);
        if (kept < count) {
            Print("lost " + std::to_string(count - kept) +
                  " bytes: the station is busy and its 64-byte buffer is full");
        }
    }

    void CheckPacing(Clock::time_point now) {
        if (lastOk_ == Clock::time_point::min() || now - lastOk_ >= options_.pacing) return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++pacingViolations_;
        }
        const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(now - lastOk_);
        Print("a command came " + std::to_string(gap.count()) +
              " ms after the last \"200 Ok\" (the station asks for " +
              std::to_string(options_.pacing.count()) + " ms)");
    }

    // A station with a wireless card that heard no command in time after its boot.
    void StopListening() {
        listenDue_ = Clock::time_point::max();
        deaf_ = true;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            listening_ = false;
        }
        commandArrived_.notify_all();
        Print("no command since the boot: the serial line is ignored until the next reset");
    }

    // What the station's input buffer and its reading state hold: gone at a reset or a close.
    void ClearInput() {
        partial_.clear();
        held_.clear();
        busyUntil_ = Clock::time_point::min();
        lastOk_ = Clock::time_point::min();
        listenDue_ = Clock::time_point::max();
        deaf_ = false;
        std::lock_guard<std::mutex> lock(mutex_);
        listening_ = true;
    }

    // A reset forgets the station's state; whoever waits for a state sees it.
    void ForgetState() {
        std::string state;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            model_.Reset();
            if (!options_.stateFile.empty()) {
                state = StationModel::Describe(model_.State()) + "\nrails: " + model_.State().rails;
            }
        }
        commandArrived_.notify_all();
        if (!state.empty()) WriteStateFile(state);
    }

    // What the station does once the answer to the count-th command is out.
    Then ThenAfter(std::size_t count) const {
        const auto is = [count](int option) {
            return option >= 0 && count == static_cast<std::size_t>(option);
        };
        if (is(options_.hangUpAfter)) return Then::HangUp;
        if (is(options_.resetAfter)) return Then::Reset;
        if (is(options_.stopReadingAfter)) return Then::StopReading;
        return Then::Nothing;
    }

    void Enqueue(std::string bytes, Clock::time_point due, Then then = Then::Nothing) {
        Chunk chunk;
        chunk.due = due;
        chunk.bytes = std::move(bytes);
        chunk.trickle = options_.byteByByte;
        chunk.then = then;
        out_.push_back(std::move(chunk));
    }

    void WriteDue(Clock::time_point now) {
        while (!out_.empty() && !outputBlocked_ && out_.front().due <= now) {
            Chunk& chunk = out_.front();
            if (written_ < chunk.bytes.size()) {
                const std::size_t size = chunk.trickle ? 1 : chunk.bytes.size() - written_;
                const ssize_t count = ::write(pty_.Fd(), chunk.bytes.data() + written_, size);
                if (count < 0) {
                    if (errno == EAGAIN) outputBlocked_ = true;
                    // Any other failure: the opener is gone, which the next read reports.
                    return;
                }
                written_ += static_cast<std::size_t>(count);
                if (chunk.trickle && written_ < chunk.bytes.size()) {
                    chunk.due = now + kByteGap;
                    continue;
                }
                if (written_ < chunk.bytes.size()) continue;
            }
            if (chunk.endsOk) lastOk_ = now;
            const Then then = chunk.then;
            out_.pop_front();
            written_ = 0;
            switch (then) {
                case Then::HangUp:
                    HangUp();
                    return;
                case Then::Reset:
                    Reboot(now);
                    return;
                case Then::StopReading:
                    SetReading(false);
                    break;
                case Then::Nothing:
                    break;
            }
        }
    }

    void HangUp() {
        // Like a station pulled from the USB port: the device and its link disappear and the
        // opener's reads and writes fail.
        pty_.Close();
        gone_ = true;
        peerOpen_ = false;
        booting_ = false;
        stopped_ = false;
        ClearInput();
        out_.clear();
        written_ = 0;
        if (options_.replugAfter.count() >= 0) replugDue_ = Clock::now() + options_.replugAfter;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            plugged_ = false;
        }
        Print("hung up: the device is gone");
    }

    // A new pseudo-terminal under the same link, holding an empty station.
    bool PlugIn(std::string& error) {
        if (!gone_) HangUp();
        replugDue_ = Clock::time_point::max();
        if (!OpenRenumbered(error)) return false;
        gone_ = false;
        holders_ = ownOpens_ = ownCloses_ = 0;
        ClearInput();
        ForgetState();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            deviceName_ = pty_.DeviceName();
            path_ = options_.linkPath.empty() ? deviceName_ : options_.linkPath;
            plugged_ = true;
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

    // A reset while the device is held: what was about to go out is lost, and the banner follows
    // as after an open.
    void Reboot(Clock::time_point now) {
        ForgetState();
        if (stopped_) SetReading(true);
        out_.clear();
        written_ = 0;
        ClearInput();
        if (peerOpen_) {
            booting_ = true;
            bannerDue_ = now + (options_.realTimings ? kRealBootSettle : kBootSettle);
        }
        Print("station reset: its state is forgotten, it boots again");
    }

    void SetReading(bool reading) {
        if (gone_ || !pty_.SuspendDeviceOutput(!reading)) return;
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

    void WaitForWake(int timeout) const {
        pollfd entry{wake_, POLLIN, 0};
        if (::poll(&entry, 1, timeout) > 0) DrainWake();
    }

    const SimOptions options_;
    const std::string eol_;
    int wake_ = -1;  // eventfd that ends the thread's poll when something changed
    std::thread thread_;

    // The I/O thread's own once started.
    PtyStation pty_;
    bool peerOpen_ = false;
    int holders_ = 0;   // open file descriptions of the device side, as the watch reports them
    int ownOpens_ = 0;  // reported opens and closes that were the simulator's own
    int ownCloses_ = 0;
    std::vector<PtyStation::Event> events_;
    bool booting_ = false;
    bool gone_ = false;
    bool stopped_ = false;  // not reading: the device side's output is suspended
    Clock::time_point replugDue_ = Clock::time_point::max();
    Clock::time_point bannerDue_;
    std::string partial_;
    Clock::time_point lastByte_;
    // Bytes that arrived while the station was busy with a command (until busyUntil_), as its
    // input buffer holds them.
    std::string held_;
    Clock::time_point busyUntil_ = Clock::time_point::min();
    Clock::time_point lastOk_ = Clock::time_point::min();  // the latest "200 Ok" written
    // A station with a wireless card stops listening unless a line arrives by then.
    Clock::time_point listenDue_ = Clock::time_point::max();
    bool deaf_ = false;  // mirrors listening_ for the I/O thread
    std::deque<Chunk> out_;
    std::size_t written_ = 0;  // bytes of out_.front() already written
    bool outputBlocked_ = false;
    std::array<char, 1024> buffer_{};

    // Everything below is shared with the callers and guarded by mutex_.
    mutable std::mutex mutex_;
    mutable std::condition_variable commandArrived_;
    bool stop_ = false;
    std::string deviceName_;
    std::string path_;
    StationModel model_;
    std::vector<std::string> commands_;
    int openCount_ = 0;
    int pacingViolations_ = 0;
    bool listening_ = true;
    std::map<std::string, int> statusFor_;
    std::chrono::milliseconds replyDelay_;
    std::vector<std::string> raw_;
    bool plugged_ = true;
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
