#include "station/NDSDCCImpl.hpp"

#include "base/StopSignalsBlocked.hpp"
#include "serial/DevicePath.hpp"

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/system/system_error.hpp>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <exception>
#include <limits>
#include <locale>

namespace {

// The white space that ends a status line's first field (the "C" locale's): a fixed set rather
// than a locale lookup per character.
const auto& StatusFieldEnd() {
    static const auto predicate = boost::algorithm::is_any_of(" \t\v\f\r\n");
    return predicate;
}

// atoi's reading of a field: leading white space, an optional sign, then digits up to the
// first other character; 0 without digits. Saturates at the 32-bit range instead of
// overflowing.
std::int32_t ParseCode(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    const std::int64_t limit =
        negative ? -static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::min())
                 : std::numeric_limits<std::int32_t>::max();
    std::int64_t value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        value = std::min<std::int64_t>(value * 10 + (text[i] - '0'), limit);
    }
    return static_cast<std::int32_t>(negative ? -value : value);
}

bool HasTimeoutPrefix(const std::string& command) {
    return command.compare(0, 13, "setLocoConfig") == 0 ||
           command.compare(0, 13, "getLocoConfig") == 0;
}

const char kPing[] = "setPing()";
// The tag of the first data line of the station's answer to a ping.
const char kPingTag[] = "DSG";

}  // namespace

NDSDCC::Impl::Impl() {
    lineBuffer.reserve(256);
    port.AddReceiveCallback(
        [this](const std::vector<std::uint8_t>& bytes) { OnSerialData(bytes); });
    port.SetLossCallback([this](const std::string& reason) { Lose("read failed: " + reason); });
}

NDSDCC::Impl::~Impl() {
    Stop();
}

bool NDSDCC::Impl::Open(const std::string& path, std::chrono::milliseconds readyTimeout) {
    lastDevicePath = path;
    // Stays recorded when the port throws for a line setting it refuses.
    lastOpenFailure = OpenFailure::DeviceNotOpened;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        if (stopping || state != State::Gone) return false;
        state = State::Connecting;
        portName = path;
        StartLinkThread();
    }
    auto giveUp = [this] {
        std::lock_guard<std::mutex> lock(stateMutex);
        if (state == State::Connecting) state = State::Gone;
    };
    OpenFailure failure = OpenFailure::DeviceNotOpened;
    bool connected = false;
    try {
        connected = Handshake(path, readyTimeout, failure);
    } catch (...) {
        giveUp();
        throw;
    }
    lastOpenFailure = failure;
    if (!connected) giveUp();
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
        std::lock_guard<std::mutex> lock(stateMutex);
        portName = name;
        if (!connected && !stopping && state == State::Gone) reconnect = true;
    }
    stateSignal.notify_all();
    if (refused) std::rethrow_exception(refused);
    return connected;
}

void NDSDCC::Impl::Close() {
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        reconnect = false;
        state = State::Gone;
    }
    Interrupt();
    port.Close();
}

void NDSDCC::Impl::Stop() {
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        stopping = true;
        reconnect = false;
    }
    Interrupt();
    // Cuts short a write the station does not take, which no wake-up reaches.
    ClosePort();
    std::thread thread;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        thread = std::move(linkThread);
    }
    if (thread.joinable()) thread.join();
}

bool NDSDCC::Impl::Handshake(const std::string& path, std::chrono::milliseconds readyTimeout,
                             OpenFailure& failure) {
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        devicePath = path;
    }
    {
        // A fresh line: nothing owed, nothing to resynchronise.
        std::lock_guard<std::mutex> lock(replyMutex);
        pingsOwed = 0;
        resyncNeeded = false;
        timeoutsInRow = 0;
        awaitingMark = false;
        awaitedCompletion = kNoCompletion;
    }
    const std::uint64_t interruptsBefore = interrupts;
    // Counted before the port opens: the reader may deliver the notice before the wait begins.
    std::uint64_t noticesBefore;
    {
        std::lock_guard<std::mutex> lock(connectMutex);
        noticesBefore = readyNotices;
    }
    failure = OpenFailure::DeviceNotOpened;
    if (stopping || !port.Open(path)) return false;

    bool ready;
    {
        std::unique_lock<std::mutex> lock(connectMutex);
        connectSignal.wait_for(lock, readyTimeout, [&] {
            return readyNotices != noticesBefore || stopping || interrupts != interruptsBefore;
        });
        ready = readyNotices != noticesBefore;
    }
    if (!ready || stopping || interrupts != interruptsBefore) {
        ClosePort();
        failure = OpenFailure::NoReadyNotice;
        return false;
    }

    if (log) log("[D Send] %s\n", kPing);
    const Result ping = Exchange(kPing, Clock::now() + kHandshakePingTimeout, false);
    bool connected =
        ping.outcome == Outcome::Answered && ping.status == 200 && interrupts == interruptsBefore;
    if (connected) {
        std::lock_guard<std::mutex> lock(stateMutex);
        // A Close or Stop meanwhile wins.
        connected = !stopping && state == State::Connecting;
        if (connected) {
            reconnect = true;
            // Moved before commands go through, so that a caller who looks before acting sees it.
            // Also at the first connection: what was refused while there was none is owed to it.
            ++epoch;
            state = State::Connected;
        }
    }
    if (!connected) {
        ClosePort();
        failure = OpenFailure::PingFailed;
        return false;
    }
    failure = OpenFailure::None;
    return true;
}

bool NDSDCC::Impl::SendCommand(const std::string& command) {
    const Clock::duration timeout = HasTimeoutPrefix(command) ? Clock::duration(kConfigTimeout)
                                                              : Clock::duration(kCommandTimeout);
    const Clock::time_point deadline = Clock::now() + timeout;
    bool admitted;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        admitted = !stopping && state == State::Connected;
        inFlight = admitted;
    }
    if (!admitted) {
        if (log) {
            log("[D Send] %s\n", command.c_str());
            log("No connection to DSAir2!\n");
        }
        return false;
    }
    struct InFlight {
        Impl& link;
        ~InFlight() {
            {
                std::lock_guard<std::mutex> lock(link.stateMutex);
                link.inFlight = false;
            }
            link.stateSignal.notify_all();
        }
    } inFlightUntilReturn{*this};

    bool resync;
    {
        std::lock_guard<std::mutex> lock(replyMutex);
        resync = resyncNeeded;
    }
    // An earlier command timed out: its answer may still come. Everything before the ping's
    // "@DSG" line is such a late answer, so that nothing after it can complete the wrong
    // command.
    // The console shows the lines in the order they go out.
    if (resync && command == kPing) {
        // The resynchronising ping is all a ping would do.
        if (log) log("[D Send] %s\n", kPing);
        return Settle(Exchange(kPing, deadline, true));
    }
    if (resync) {
        if (log) log("[D Send] %s\n", kPing);
        // It has the command's time: a station slow enough for CV commands' longer wait is
        // waited for as long.
        const Result mark = Exchange(kPing, deadline, true);
        // A ping that goes unanswered right after a time-out is the second in a row: the
        // station is gone and the command is not sent. After a reset it is not sent either;
        // the reset's own line says why.
        if (!Settle(mark)) {
            if (log && mark.outcome != Outcome::Reset) {
                log("[D Send] %s\n", command.c_str());
                log("No connection to DSAir2!\n");
            }
            return false;
        }
        if (log) log("[D Send] %s\n", command.c_str());
    } else if (log) {
        log("[D Send] %s\n", command.c_str());
    }
    // After a ping the command has its whole time of its own: written with little left, it
    // would be carried out while counted as lost.
    const Result result = Exchange(command, resync ? Clock::now() + timeout : deadline, false);
    return Settle(result) && result.status == 200;
}

bool NDSDCC::Impl::Greet() {
    if (!greetingOwed) return true;
    return SendCommand(kPing);
}

NDSDCC::Impl::Result NDSDCC::Impl::Exchange(const std::string& command, Clock::time_point deadline,
                                            bool afterMark) {
    const std::uint64_t interruptsBefore = interrupts;
    const bool ping = command == kPing;
    std::unique_lock<std::mutex> lock(replyMutex);
    // Pacing: never longer than one pause, also when the clock jumps.
    const Clock::time_point now = Clock::now();
    replySignal.wait_until(lock, std::min(lastStatusTime + kPacing, now + kPacing),
                           [&] { return stopping.load(); });
    if (stopping) return {Outcome::Interrupted, 0, {}};

    lastStatus = 0;
    answered = false;
    const std::uint64_t resetsBefore = resets;
    awaitingMark = afterMark;
    awaitedCompletion = afterMark ? kNoCompletion : completions + 1;
    if (ping) ++pingsOwed;
    // Data lines that arrived before the write (a late answer to an earlier command, noise
    // during the pacing pause) are not this command's.
    replyValues.clear();
    answerValues.clear();
    lock.unlock();

    greetingOwed = false;
    std::string line = command;
    line += '\n';
    const bool written = port.Write(line.data(), line.size());
    std::string writeFailure;
    if (!written) {
        const boost::system::error_code error = port.LastWriteError();
        writeFailure = error == boost::system::errc::timed_out
                           ? "a write did not finish within 1 second"
                           : "write failed: " + error.message();
    }

    lock.lock();
    const auto interrupted = [&] { return stopping || interrupts != interruptsBefore; };
    // A station that reset will never answer: no use waiting out the deadline.
    const auto reset = [&] { return resets != resetsBefore; };
    if (written) {
        replySignal.wait_until(lock, deadline,
                               [&] { return answered || interrupted() || reset(); });
    }
    Result result{Outcome::TimedOut, 0, {}};
    if (answered) {
        result.outcome = Outcome::Answered;
        result.status = completedStatus;
        // Answers come in order: whatever an earlier ping would have sent has come before.
        if (ping) pingsOwed = 0;
    } else if (interrupted()) {
        result.outcome = Outcome::Interrupted;
    } else if (!written) {
        result = {Outcome::WriteFailed, 0, writeFailure};
    } else if (reset()) {
        result.outcome = Outcome::Reset;
    }
    awaitingMark = false;
    awaitedCompletion = kNoCompletion;
    return result;
}

bool NDSDCC::Impl::Settle(const Result& result) {
    std::string lossReason;
    {
        std::lock_guard<std::mutex> lock(replyMutex);
        switch (result.outcome) {
            case Outcome::Answered:
                timeoutsInRow = 0;
                resyncNeeded = false;
                return true;
            case Outcome::TimedOut:
                resyncNeeded = true;
                if (++timeoutsInRow >= kTimeoutsForLoss) {
                    lossReason =
                        "no answer to " + std::to_string(kTimeoutsForLoss) + " commands in a row";
                }
                break;
            case Outcome::WriteFailed:
                lossReason = result.reason;
                break;
            case Outcome::Reset:
                // The station is there, but a command written as it came back may still be
                // answered: the next one resynchronises.
                resyncNeeded = true;
                break;
            case Outcome::Interrupted:
                break;
        }
    }
    if (!lossReason.empty()) Lose(lossReason);
    return false;
}

void NDSDCC::Impl::Lose(const std::string& reason) {
    std::string path;
    bool announce = false;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        if (!stopping && state == State::Connected) {
            state = State::Gone;
            announce = true;
            path = devicePath;
        }
    }
    if (announce && log) log("Lost connection to DSAir2 on %s: %s\n", path.c_str(), reason.c_str());
    // Also during a handshake, which then fails at once.
    Interrupt();
}

void NDSDCC::Impl::Interrupt() {
    ++interrupts;
    // Each waiter tests its condition under its mutex: taking it once after the change means a
    // waiter either has seen the change or is already blocked and gets the notification.
    { std::lock_guard<std::mutex> lock(replyMutex); }
    replySignal.notify_all();
    { std::lock_guard<std::mutex> lock(connectMutex); }
    connectSignal.notify_all();
    { std::lock_guard<std::mutex> lock(stateMutex); }
    stateSignal.notify_all();
}

void NDSDCC::Impl::ClosePort() {
    try {
        port.Close();
    } catch (const boost::system::system_error&) {
        // The handle is given up either way.
    }
}

void NDSDCC::Impl::StartLinkThread() {
    if (linkThread.joinable() || stopping) return;
    const StopSignalsBlocked forTheNewThread;
    linkThread = std::thread(&Impl::LinkThread, this);
}

void NDSDCC::Impl::LinkThread() {
    std::unique_lock<std::mutex> lock(stateMutex);
    for (;;) {
        // The command under way when the station went is woken by the loss and ends first: the
        // port is the link thread's from here until the station is back.
        stateSignal.wait(
            lock, [&] { return stopping || (state == State::Gone && reconnect && !inFlight); });
        if (stopping) return;
        state = State::Connecting;
        lock.unlock();
        ClosePort();

        auto pause = kFirstRetryPause;
        bool connected = false;
        lock.lock();
        while (!connected) {
            stateSignal.wait_for(lock, pause, [&] { return stopping || !reconnect; });
            if (stopping) return;
            if (!reconnect) break;  // Close(): it left the state Gone
            const std::string name = portName;
            lock.unlock();
            OpenFailure failure;
            try {
                // Resolved afresh: a by-id link or a udev name points at the new node.
                connected = Handshake(DevicePath(name), kReadyTimeout, failure);
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
            lock.lock();
        }
    }
}

void NDSDCC::Impl::AwaitPacing() {
    std::unique_lock<std::mutex> lock(replyMutex);
    // Never longer than one pause, also when the clock jumps; a stop ends it.
    const Clock::time_point now = Clock::now();
    replySignal.wait_until(lock, std::min(lastStatusTime + kPacing, now + kPacing),
                           [&] { return stopping.load(); });
}

bool NDSDCC::Impl::GetLocoConfig(std::int32_t cv, std::int32_t& value) {
    {
        std::lock_guard<std::mutex> lock(replyMutex);
        expectedTag = "CV";
        replyValues.clear();
    }
    if (!SendCommand("getLocoConfig(49152," + std::to_string(cv) + ")")) return false;

    std::vector<std::string> values;
    {
        std::lock_guard<std::mutex> lock(replyMutex);
        values = answerValues;
    }
    if (values.size() != 4) return false;
    if (ParseCode(values[1]) != cv) return false;
    value = ParseCode(values[2]);
    return value != 65535;
}

void NDSDCC::Impl::OnSerialData(const std::vector<std::uint8_t>& bytes) {
    for (std::uint8_t byte : bytes) {
        if (byte == '\n') {
            HandleLine(lineBuffer);
            lineBuffer.clear();
        } else if (lineBuffer.size() < kMaxLineLength) {
            lineBuffer.push_back(static_cast<char>(byte));
        }
        // Beyond kMaxLineLength the rest of the line is dropped up to its line feed: a station
        // that never ends its line must not grow the buffer without bound.
    }
}

void NDSDCC::Impl::HandleLine(const std::string& line) {
    if (log) log("[D Recv] %s\n", ShownText(line).c_str());

    if (!line.empty() && line[0] == '@') {
        std::vector<std::string> fields;
        const auto text = boost::make_iterator_range(line.begin() + 1, line.end());
        boost::algorithm::split(fields, text, boost::algorithm::is_any_of(","));
        if (fields.empty()) fields.emplace_back();
        std::lock_guard<std::mutex> lock(replyMutex);
        if (fields[0] == expectedTag) replyValues.assign(fields.begin() + 1, fields.end());
        if (fields[0] == kPingTag) {
            if (pingsOwed > 0) --pingsOwed;
            // The resynchronising ping's own answer begins: the next completion is its.
            if (awaitingMark && pingsOwed == 0) {
                awaitingMark = false;
                awaitedCompletion = completions + 1;
            }
        }
        return;
    }

    const auto fieldEnd = std::find_if(line.begin(), line.end(), StatusFieldEnd());
    const std::int32_t code = ParseCode(std::string(line.begin(), fieldEnd));
    {
        std::lock_guard<std::mutex> lock(replyMutex);
        lastStatusTime = Clock::now();
        lastStatus = code;
        // 3xx is the station's refusal ("300 Cmd err", "301 Stx err"): the command's one status
        // line, so it ends the wait with false instead of holding every client up for the
        // whole time-out.
        if (code >= 200 && code <= 399) {
            if (++completions == awaitedCompletion) {
                answered = true;
                completedStatus = code;
                // The data lines of the answer are those before its status line; a line that
                // follows (in the same chunk, before the command wakes) must not replace them.
                answerValues = replyValues;
            }
            replySignal.notify_all();
        }
        // A station that booted has forgotten the lines it owed.
        if (code == 100) pingsOwed = 0;
    }
    if (code == 100) {
        {
            std::lock_guard<std::mutex> lock(connectMutex);
            ++readyNotices;
            connectSignal.notify_all();
        }
        // Outside a handshake a ready notice means the station reset and forgot everything.
        std::string path;
        bool reset = false;
        {
            std::lock_guard<std::mutex> lock(stateMutex);
            if (state == State::Connected) {
                reset = true;
                path = devicePath;
                greetingOwed = true;
                ++epoch;
            }
        }
        if (reset) {
            {
                std::lock_guard<std::mutex> lock(replyMutex);
                ++resets;
            }
            replySignal.notify_all();
            if (log) {
                log("DSAir2 on %s was reset; it has forgotten its locomotives and track power.\n",
                    path.c_str());
            }
        }
    }
}

bool NDSDCC::Impl::Connected() const {
    return state == State::Connected;
}

std::uint64_t NDSDCC::Impl::StationEpoch() const {
    return epoch;
}

void NDSDCC::Impl::MarkConnected() {
    std::lock_guard<std::mutex> lock(stateMutex);
    state = State::Connected;
}

std::int32_t NDSDCC::Impl::LastStatus() const {
    std::lock_guard<std::mutex> lock(replyMutex);
    return lastStatus;
}

std::vector<std::string> NDSDCC::Impl::ReplyValues() const {
    std::lock_guard<std::mutex> lock(replyMutex);
    return replyValues;
}
