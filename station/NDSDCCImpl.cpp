#include "station/NDSDCCImpl.hpp"

#include "base/StopSignalsBlocked.hpp"
#include "serial/DevicePath.hpp"
#include "station/StationLine.hpp"

#include <boost/system/system_error.hpp>

#include <algorithm>
#include <exception>

namespace {

const char kPing[] = "setPing()";

}  // namespace

NDSDCC::Impl::Impl(LogFunction log) : log(log) {
    port.AddReceiveCallback(
        [this](const std::vector<std::uint8_t>& bytes) { OnSerialData(bytes); });
    port.SetLossCallback([this](const std::string& reason) { Lose("read failed: " + reason); });
}

NDSDCC::Impl::~Impl() {
    Stop();
}

std::chrono::milliseconds NDSDCC::Impl::TimeoutFor(const std::string& command) {
    const bool config = command.compare(0, 13, "setLocoConfig") == 0 ||
                        command.compare(0, 13, "getLocoConfig") == 0;
    return config ? kConfigTimeout : kCommandTimeout;
}

bool NDSDCC::Impl::Open(const std::string& path, std::chrono::milliseconds readyTimeout) {
    State before;
    {
        std::lock_guard<std::mutex> lock(mutex);
        lastDevicePath = path;
        // Stays recorded when the port throws for a line setting it refuses.
        lastOpenFailure = OpenFailure::DeviceNotOpened;
        if (state != State::Closed && state != State::Lost) return false;
        before = state;
        state = State::Connecting;
        portName = path;
        StartLinkThread();
    }
    // A failed Open leaves the link as it found it: reopened in the background or not.
    auto giveUp = [this, before] {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (state == State::Connecting) state = before;
        }
        changed.notify_all();
    };
    OpenFailure failure = OpenFailure::DeviceNotOpened;
    bool connected = false;
    std::vector<std::string> said;
    try {
        connected = Handshake(path, readyTimeout, failure, said);
    } catch (...) {
        giveUp();
        throw;
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        lastOpenFailure = failure;
    }
    if (!connected) giveUp();
    Say(said);
    return connected;
}

bool NDSDCC::Impl::Connect(const std::string& name) {
    bool connected = false;
    // A line setting the device refused is a failed attempt like any other: retried as the
    // background attempts are, then reported to the caller.
    std::exception_ptr refused;
    try {
        connected = Open(DevicePath(name));
    } catch (...) {
        refused = std::current_exception();
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        portName = name;
        if (!connected && state == State::Closed) state = State::Lost;
    }
    changed.notify_all();
    if (refused) std::rethrow_exception(refused);
    return connected;
}

void NDSDCC::Impl::Close() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (state != State::Stopped) state = State::Closed;
    }
    Interrupt();
    port.Close();
}

void NDSDCC::Impl::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        state = State::Stopped;
    }
    Interrupt();
    // Cuts short a write the station does not take, which no wake-up reaches.
    ClosePort();
    std::thread thread;
    {
        std::lock_guard<std::mutex> lock(mutex);
        thread = std::move(linkThread);
    }
    if (thread.joinable()) thread.join();
}

bool NDSDCC::Impl::Handshake(const std::string& path, std::chrono::milliseconds readyTimeout,
                             OpenFailure& failure, std::vector<std::string>& said) {
    failure = OpenFailure::DeviceNotOpened;
    std::uint64_t interruptsBefore;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (state == State::Stopped) return false;
        devicePath = path;
        interruptsBefore = interrupts;
        // Before the port opens: the reader may deliver the ready notice before the wait begins.
        tracker.ExpectBoot();
        handshakeStatus.reset();
    }
    if (!port.Open(path)) return false;

    bool ready;
    {
        std::unique_lock<std::mutex> lock(mutex);
        const auto cutShort = [&] {
            return state == State::Stopped || interrupts != interruptsBefore;
        };
        changed.wait_for(lock, readyTimeout, [&] {
            return tracker.Current() != ReplyTracker::State::AwaitingReady || cutShort();
        });
        ready = tracker.Current() != ReplyTracker::State::AwaitingReady && !cutShort();
    }
    if (!ready) {
        ClosePort();
        failure = OpenFailure::NoReadyNotice;
        return false;
    }

    if (log) log("[D Send] %s\n", kPing);
    const Exchanged ping = Exchange(kPing, Clock::now() + kHandshakePingTimeout);
    bool connected = ping.reply.ending == ReplyTracker::Ending::Answered &&
                     ping.reply.status == StationLine::kOk;
    {
        std::lock_guard<std::mutex> lock(mutex);
        // A loss, a Close or a Stop meanwhile wins.
        connected = connected && interrupts == interruptsBefore && state == State::Connecting;
        if (connected) {
            // Moved before commands go through, so that a caller who looks before acting sees it.
            // Also at the first connection: what was refused while there was none is owed to it.
            ++epoch;
            state = State::Connected;
            // Before any command can bring another status line.
            said = health.Connected(path, handshakeStatus);
        }
        handshakeStatus.reset();
    }
    if (!connected) {
        ClosePort();
        failure = OpenFailure::PingFailed;
        return false;
    }
    failure = OpenFailure::None;
    return true;
}

CommandOutcome NDSDCC::Impl::Execute(const std::string& command) {
    return Send(command).outcome;
}

CommandOutcome NDSDCC::Impl::Execute(const std::string& command, std::uint64_t forEpoch) {
    return Send(command, false, forEpoch).outcome;
}

bool NDSDCC::Impl::SendCommand(const std::string& command) {
    return Execute(command) == CommandOutcome::Done;
}

CommandOutcome NDSDCC::Impl::Watch() {
    return Send(kPing, true).outcome;
}

CommandOutcome NDSDCC::Impl::ReadCv(std::int32_t cv, std::int32_t& value) {
    const Exchanged read = Send(NDSDCC::ConfigReadCommand(cv));
    if (read.outcome != CommandOutcome::Done) return read.outcome;
    return read.reply.CvValue(cv, value);
}

NDSDCC::Impl::Exchanged NDSDCC::Impl::Send(const std::string& command, bool quiet,
                                           std::uint64_t forEpoch) {
    const std::chrono::milliseconds timeout = TimeoutFor(command);
    const Clock::time_point deadline = Clock::now() + timeout;
    bool resync;
    {
        std::lock_guard<std::mutex> lock(mutex);
        inFlight = state == State::Connected;
        resync = tracker.ResyncNeeded();
    }
    if (!inFlight) {
        if (!quiet) Refuse(command);
        return {};
    }
    struct InFlight {
        Impl& link;
        ~InFlight() {
            {
                std::lock_guard<std::mutex> lock(link.mutex);
                link.inFlight = false;
            }
            link.changed.notify_all();
        }
    } inFlightUntilReturn{*this};

    // An earlier command went unanswered: its answer may still come. Everything before the
    // ping's "@DSG" line is such a late answer, so that nothing after it can complete the wrong
    // command. The console shows the lines in the order they go out.
    if (!resync) {
        if (log && !quiet) log("[D Send] %s\n", command.c_str());
        return Exchange(command, deadline, quiet, forEpoch);
    }
    if (log && !quiet) log("[D Send] %s\n", kPing);
    // It has the command's time: a station slow enough for the CV commands' longer wait is
    // waited for as long. A quiet ping is its own resynchronising ping; the late answers
    // before its mark are echoed.
    Exchanged mark = Exchange(kPing, deadline, quiet);
    // The resynchronising ping is all a ping would do.
    if (command == kPing) return mark;
    // A ping that goes unanswered right after a time-out is the second in a row: the station is
    // gone and the command is not sent. After a reset it is not sent either; the reset's own
    // line says why.
    if (mark.reply.ending != ReplyTracker::Ending::Answered) {
        if (mark.reply.ending != ReplyTracker::Ending::Reset) Refuse(command);
        return {};
    }
    if (log) log("[D Send] %s\n", command.c_str());
    // After a ping the command has its whole time of its own: written with little left, it
    // would be carried out while counted as lost.
    return Exchange(command, Clock::now() + timeout, false, forEpoch);
}

NDSDCC::Impl::Exchanged NDSDCC::Impl::Exchange(const std::string& command,
                                               Clock::time_point deadline, bool quiet,
                                               std::uint64_t forEpoch) {
    std::unique_lock<std::mutex> lock(mutex);
    const std::uint64_t interruptsBefore = interrupts;
    const auto cutShort = [&] { return state == State::Stopped || interrupts != interruptsBefore; };
    // Pacing: never longer than one pause, also when the clock jumps.
    const Clock::time_point now = Clock::now();
    const Clock::time_point readyAt = std::min(tracker.ReadyAt(), now + ReplyTracker::kPacing);
    if (readyAt > now) changed.wait_until(lock, readyAt, cutShort);
    if (cutShort()) return {};
    // The epoch moves under this lock when a reset is seen: checked here, a command meant for
    // the station before it is never written to the one after it.
    if (forEpoch != kAnyEpoch && forEpoch != epoch) return {};
    tracker.Begin(command, deadline);
    quietExchange = quiet;
    lock.unlock();

    std::string line = command;
    line += '\n';
    const bool written = port.Write(line.data(), line.size());
    std::string lossReason;
    if (!written) {
        const boost::system::error_code error = port.LastWriteError();
        lossReason = error == boost::system::errc::timed_out
                         ? "a write did not finish within 1 second"
                         : "write failed: " + error.message();
    }

    lock.lock();
    if (written) {
        while (!tracker.Settled() && !cutShort()) {
            if (changed.wait_until(lock, tracker.NextDeadline()) == std::cv_status::timeout) {
                tracker.Expire(Clock::now());
            }
        }
    }
    Exchanged result{CommandOutcome::Unknown, tracker.Finish()};
    quietExchange = false;
    if (result.reply.ending == ReplyTracker::Ending::Answered) {
        result.outcome = result.reply.Outcome();
        lossReason.clear();
        // A trip shows as the track going off with a new error: the track is what the latest
        // setPower made it, whatever the status line said before.
        if (result.outcome == CommandOutcome::Done) {
            if (command == NDSDCC::PowerCommand(true)) health.Powered(true);
            if (command == NDSDCC::PowerCommand(false)) health.Powered(false);
        }
    } else if (cutShort()) {
        // A loss, a Close or a Stop: whoever cut it short has said what happened.
        lossReason.clear();
    } else if (written && result.reply.ending == ReplyTracker::Ending::TimedOut && tracker.Lost()) {
        lossReason =
            "no answer to " + std::to_string(ReplyTracker::kTimeoutsForLoss) + " commands in a row";
    }
    lock.unlock();
    if (!lossReason.empty()) Lose(lossReason);
    return result;
}

void NDSDCC::Impl::Refuse(const std::string& command) {
    if (!log) return;
    log("[D Send] %s\n", command.c_str());
    log("No connection to DSAir2!\n");
}

void NDSDCC::Impl::Lose(const std::string& reason) {
    std::string path;
    bool announce = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (state == State::Connected) {
            state = State::Lost;
            announce = true;
            path = devicePath;
        }
    }
    if (announce && log) log("Lost connection to DSAir2 on %s: %s\n", path.c_str(), reason.c_str());
    // Also during a handshake, which then fails at once.
    Interrupt();
}

void NDSDCC::Impl::Interrupt() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++interrupts;
    }
    changed.notify_all();
}

void NDSDCC::Impl::ClosePort() {
    try {
        port.Close();
    } catch (const boost::system::system_error&) {
        // The handle is given up either way.
    }
}

void NDSDCC::Impl::StartLinkThread() {
    if (linkThread.joinable() || state == State::Stopped) return;
    const StopSignalsBlocked forTheNewThread;
    linkThread = std::thread(&Impl::LinkThread, this);
}

void NDSDCC::Impl::LinkThread() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        // The command under way when the station went is woken by the loss and ends first: the
        // port is the link thread's from here until the station is back.
        changed.wait(
            lock, [&] { return state == State::Stopped || (state == State::Lost && !inFlight); });
        if (state == State::Stopped) return;
        state = State::Connecting;
        lock.unlock();
        ClosePort();

        auto pause = kFirstRetryPause;
        bool connected = false;
        std::vector<std::string> said;
        lock.lock();
        while (!connected) {
            changed.wait_for(lock, pause, [&] { return state != State::Connecting; });
            if (state == State::Stopped) return;
            if (state != State::Connecting) break;  // Close()
            const std::string name = portName;
            lock.unlock();
            OpenFailure failure;
            try {
                // Resolved afresh: a by-id link or a udev name points at the new node.
                connected = Handshake(DevicePath(name), kReadyTimeout, failure, said);
            } catch (const std::exception&) {
                ClosePort();
            }
            pause = std::min<std::chrono::milliseconds>(pause * 2, kLongestRetryPause);
            lock.lock();
        }
        if (connected) {
            const std::string path = devicePath;
            lock.unlock();
            if (log) log("Reconnected to DSAir2 on %s\n", path.c_str());
            Say(said);
            lock.lock();
        }
    }
}

bool NDSDCC::Impl::Greet() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!tracker.GreetingOwed()) return true;
    }
    return SendCommand(kPing);
}

void NDSDCC::Impl::AwaitPacing() {
    std::unique_lock<std::mutex> lock(mutex);
    // Never longer than one pause, also when the clock jumps; a stop ends it.
    const Clock::time_point now = Clock::now();
    const Clock::time_point readyAt = std::min(tracker.ReadyAt(), now + ReplyTracker::kPacing);
    if (readyAt > now) {
        changed.wait_until(lock, readyAt, [&] { return state == State::Stopped; });
    }
}

void NDSDCC::Impl::OnSerialData(const std::vector<std::uint8_t>& bytes) {
    framer.Feed(bytes.data(), bytes.size());
    while (const std::string* line = framer.Next())
        HandleLine(*line);
}

void NDSDCC::Impl::HandleLine(const std::string& text) {
    const StationLine line(text);
    bool hidden;
    {
        std::lock_guard<std::mutex> lock(mutex);
        hidden = quietExchange && tracker.InPingAnswer(line);
    }
    // Echoed before the line can settle the command it answers, so that the console shows it
    // before the next command goes out.
    if (log && !hidden) log("[D Recv] %s\n", ShownText(text).c_str());

    const std::optional<StationStatus> status = StationStatus::Parse(text);
    ReplyTracker::Meaning meaning;
    std::string path;
    bool reset = false;
    std::vector<std::string> said;
    {
        std::lock_guard<std::mutex> lock(mutex);
        meaning = tracker.OnLine(line, Clock::now()).meaning;
        if (status && state == State::Connecting) handshakeStatus = status;
        if (status && state == State::Connected) {
            said = health.Heard(*status);
            // The "@DSS" line comes before the ping's "200 Ok": when the ping returns, its
            // caller finds the count moved.
            trips = health.Trips();
        }
        // Outside a handshake a ready notice means the station reset and forgot everything.
        if (meaning == ReplyTracker::Meaning::Reset && state == State::Connected) {
            reset = true;
            path = devicePath;
            ++epoch;
            health.Booted();
        }
    }
    if (meaning != ReplyTracker::Meaning::Nothing) changed.notify_all();
    if (reset && log) {
        log("DSAir2 on %s was reset; it has forgotten its locomotives and track power.\n",
            path.c_str());
    }
    Say(said);
}

void NDSDCC::Impl::Say(const std::vector<std::string>& lines) {
    if (!log) return;
    for (const std::string& line : lines)
        log("%s", line.c_str());
}

bool NDSDCC::Impl::Connected() const {
    std::lock_guard<std::mutex> lock(mutex);
    return state == State::Connected;
}

std::uint64_t NDSDCC::Impl::StationEpoch() const {
    return epoch;
}

std::uint64_t NDSDCC::Impl::TrackTrips() const {
    return trips;
}

NDSDCC::OpenFailure NDSDCC::Impl::LastOpenFailure() const {
    std::lock_guard<std::mutex> lock(mutex);
    return lastOpenFailure;
}

std::string NDSDCC::Impl::LastDevicePath() const {
    std::lock_guard<std::mutex> lock(mutex);
    return lastDevicePath;
}
