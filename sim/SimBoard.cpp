#include "sim/SimBoard.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <utility>

namespace {

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

SimBoard::SimBoard(SimOptions options)
    : options_(std::move(options)),
      eol_(options_.lfOnly ? "\n" : "\r\n"),
      statusFor_(options_.statusFor),
      replyDelay_(options_.replyDelay),
      lose_(options_.lose) {
    for (auto it = lose_.begin(); it != lose_.end();)
        it = it->second > 0 ? std::next(it) : lose_.erase(it);
    model_.SetSupply(static_cast<std::int32_t>(std::lround(options_.supplyVoltage * 10)));
}

SimBoard::State SimBoard::Current() const {
    return static_cast<State>(phase_.index());
}

std::vector<std::string> SimBoard::TakeNotes() {
    std::vector<std::string> notes;
    notes.swap(notes_);
    return notes;
}

void SimBoard::Note(std::string text) {
    notes_.push_back(std::move(text));
}

void SimBoard::TakeModelNotes() {
    for (std::string& note : model_.TakeNotes())
        notes_.push_back(std::move(note));
}

void SimBoard::Restart(Phase next, bool forget) {
    phase_ = std::move(next);
    // A board that boots or is gone runs no main loop until its banner.
    const State state = Current();
    if (state == State::Booting || state == State::Gone) nextCheck_ = TimePoint::max();
    out_.clear();
    nextByte_ = TimePoint::min();
    lastOk_ = TimePoint::min();
    if (forget) {
        model_.Reset();
        ++changes_;
    }
}

SimBoard::BootingState SimBoard::Boot(TimePoint now) const {
    return BootingState{now + (options_.realTimings ? kRealBootSettle : kBootSettle)};
}

void SimBoard::Opened(TimePoint now) {
    // Opening the port resets the board, which then has forgotten everything.
    Restart(Boot(now), true);
    for (std::string& bytes : raw_)
        Enqueue(std::move(bytes), now);
    raw_.clear();
    Note("device opened (open " + std::to_string(++openCount_) + "), station booting");
}

void SimBoard::Closed() {
    Restart(ClosedState{}, false);
    Note("device closed");
}

void SimBoard::Unplugged(TimePoint now) {
    GoneState gone;
    if (options_.replugAfter.count() >= 0) gone.replugDue = now + options_.replugAfter;
    Restart(gone, false);
    Note("hung up: the device is gone");
}

void SimBoard::PluggedIn() {
    Restart(ClosedState{}, true);
}

void SimBoard::Reset(TimePoint now) {
    const State state = Current();
    if (state == State::Gone || state == State::Closed) {
        Phase unchanged = phase_;
        Restart(std::move(unchanged), true);
        // Nobody holds the port to see its banner, but its main loop runs.
        if (state == State::Closed) nextCheck_ = now;
    } else {
        Restart(Boot(now), true);
    }
    Note("station reset: its state is forgotten, it boots again");
}

void SimBoard::SendBanner(TimePoint now) {
    Enqueue("Desktop Station air" + eol_ + "HW: DSair2" + eol_ + "-------------" + eol_ +
                "Init SD card...",
            now);
    const auto sdInit = options_.realTimings ? kRealSdInit : kSdInit;
    Enqueue("OK" + eol_ + (options_.sendReady ? "100 Ready" + eol_ : std::string()), now + sdInit,
            options_.hangUpAfter == 0 ? Then::HangUp : Then::Nothing);
    ReadyState ready;
    ready.lastByte = now;
    if (options_.listenWindow.count() > 0) ready.listenUntil = now + sdInit + options_.listenWindow;
    phase_ = std::move(ready);
    nextCheck_ = now;  // the main loop starts with a check
    Note(options_.sendReady ? "boot banner sent" : "boot banner sent without \"100 Ready\"");
}

void SimBoard::Feed(const std::string& bytes, TimePoint now) {
    // Whatever fell due before these bytes came happens first, whether or not Tick ran.
    Advance(now);
    switch (Current()) {
        case State::Gone:
        case State::Closed:
            return;
        case State::Booting:
            // The board is still in its reset; whatever arrives now is lost.
            Note("ignored " + std::to_string(bytes.size()) + " bytes received while booting");
            return;
        case State::Deaf:
            Note("ignored " + std::to_string(bytes.size()) +
                 " bytes: not listening to the serial line until the next reset");
            return;
        case State::Busy:
            Hold(std::get<BusyState>(phase_), bytes, 0);
            return;
        case State::Ready:
            Take(bytes, 0, now, true);
            return;
    }
}

void SimBoard::Take(const std::string& bytes, std::size_t from, TimePoint now, bool fresh) {
    for (std::size_t i = from; i < bytes.size(); ++i) {
        if (auto* busy = std::get_if<BusyState>(&phase_)) {
            Hold(*busy, bytes, i);
            return;
        }
        auto* ready = std::get_if<ReadyState>(&phase_);
        if (ready == nullptr) return;
        const char c = bytes[i];
        if (c == '\n') {
            std::string line;
            line.swap(ready->partial);
            if (Lose(line)) continue;
            if (fresh) CheckPacing(now);
            HandleLine(line, now);
            continue;
        }
        // One byte past the station's buffer is enough to have the line dropped.
        if (ready->partial.size() <= StationModel::kMaxLine) ready->partial.push_back(c);
        ready->lastByte = now;
    }
}

void SimBoard::Hold(BusyState& busy, const std::string& bytes, std::size_t from) {
    const std::size_t count = bytes.size() - from;
    const std::size_t room =
        StationModel::kMaxLine - std::min(busy.held.size(), StationModel::kMaxLine);
    const std::size_t kept = std::min(room, count);
    busy.held.append(bytes, from, kept);
    if (kept < count) {
        Note("lost " + std::to_string(count - kept) +
             " bytes: the station is busy and its 64-byte buffer is full");
    }
}

bool SimBoard::Lose(const std::string& line) {
    if (lose_.empty() || line.empty() || line.size() > StationModel::kMaxLine) return false;
    std::string text = line;
    if (text.back() == '\r') text.pop_back();
    const auto pending = lose_.find(text.substr(0, text.find('(')));
    if (pending == lose_.end()) return false;
    if (--pending->second <= 0) lose_.erase(pending);
    lost_.push_back(text);
    Note("lost on the line (neither carried out nor answered): " + Printable(text));
    return true;
}

void SimBoard::CheckPacing(TimePoint now) {
    if (lastOk_ == TimePoint::min() || now - lastOk_ >= options_.pacing) return;
    ++pacingViolations_;
    const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(now - lastOk_);
    Note("a command came " + std::to_string(gap.count()) +
         " ms after the last \"200 Ok\" (the station asks for " +
         std::to_string(options_.pacing.count()) + " ms)");
}

void SimBoard::HandleLine(const std::string& line, TimePoint now) {
    const bool powered = model_.State().power;
    StationReply reply = model_.Handle(line, now);
    if (!powered && model_.State().power && options_.shortAfter.count() >= 0 && !shortArmed_) {
        shortArmed_ = true;
        shortDue_ = now + options_.shortAfter;
    }
    // A line, even a refused one, keeps a station with a wireless card listening.
    if (auto* ready = std::get_if<ReadyState>(&phase_); ready != nullptr && !line.empty()) {
        ready->listenUntil = TimePoint::max();
    }
    if (!reply.command) {
        if (!line.empty()) Note(reply.change + ": " + Printable(line.substr(0, 40)) + "...");
        return;
    }
    std::string received = line;
    if (received.back() == '\r') received.pop_back();
    commands_.push_back(std::move(received));
    const std::size_t count = commands_.size();
    const auto status = statusFor_.find(reply.name);
    if (status != statusFor_.end()) {
        if (status->second == 0) {
            reply.lines.clear();
        } else if (!reply.lines.empty()) {
            reply.lines.back() = StatusLine(status->second);
        }
        reply.status = status->second;
    }
    ++changes_;

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
    Note(std::move(note));
    TakeModelNotes();

    const TimePoint at = std::max(now, out_.empty() ? now : out_.back().due) + replyDelay_;
    TimePoint busyUntil = at;
    const Then then = ThenAfter(count);
    if (reply.lines.empty()) {
        if (then != Then::Nothing) Enqueue("", at, then);
    } else {
        if (options_.garbage) Enqueue(kGarbage + eol_, at);
        // Where the real station spends its time: before the first line, or between the
        // CV write's acknowledgement and its completion.
        std::size_t later = 0;
        Clock::duration work = Clock::duration::zero();
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
        busyUntil = at + work;
    }
    // Until its status line, the station reads nothing: what comes meanwhile waits.
    if (busyUntil > now) phase_ = BusyState{busyUntil, {}};
}

SimBoard::Then SimBoard::ThenAfter(std::size_t count) const {
    const auto is = [count](int option) {
        return option >= 0 && count == static_cast<std::size_t>(option);
    };
    if (is(options_.hangUpAfter)) return Then::HangUp;
    if (is(options_.resetAfter)) return Then::Reset;
    if (is(options_.stopReadingAfter)) return Then::StopReading;
    return Then::Nothing;
}

void SimBoard::Enqueue(std::string bytes, TimePoint due, Then then) {
    out_.push_back(Chunk{due, std::move(bytes), then, false});
}

void SimBoard::Advance(TimePoint now) {
    if (Current() == State::Gone) return;
    model_.Tick(now);
    TakeModelNotes();
    for (bool moved = true; moved;) {
        moved = false;
        if (auto* booting = std::get_if<BootingState>(&phase_)) {
            if (now >= booting->bannerDue) {
                SendBanner(now);
                moved = true;
            }
        } else if (auto* ready = std::get_if<ReadyState>(&phase_)) {
            if (now >= ready->listenUntil) {
                phase_ = DeafState{};
                Note("no command since the boot: the serial line is ignored until the next reset");
            } else if (!ready->partial.empty() && now - ready->lastByte >= kLineTimeout) {
                Note("incomplete line dropped: " + Printable(ready->partial));
                ready->partial.clear();
            }
        } else if (auto* busy = std::get_if<BusyState>(&phase_)) {
            if (now >= busy->until) {
                // Done with its command, the station reads what waited in its buffer.
                std::string held = std::move(busy->held);
                phase_ = ReadyState{{}, now, TimePoint::max()};
                Take(held, 0, now, false);
                moved = true;
            }
        }
    }
    if (now >= shortDue_) {
        shortDue_ = TimePoint::max();
        ShortCircuit();
    }
    if (MainLoopRuns() && now >= nextCheck_) {
        // As millis() does: the next check counts from this one, however late it ran.
        nextCheck_ = now + kCheckPeriod;
        model_.Check();
        ++changes_;
        TakeModelNotes();
    }
}

bool SimBoard::MainLoopRuns() const {
    const State state = Current();
    return state == State::Ready || state == State::Deaf || state == State::Closed;
}

std::vector<SimBoard::Output> SimBoard::Tick(TimePoint now) {
    std::vector<Output> outputs;
    if (auto* gone = std::get_if<GoneState>(&phase_)) {
        if (now >= gone->replugDue) {
            gone->replugDue = TimePoint::max();
            outputs.push_back(Output{{}, Then::PlugIn});
        }
        return outputs;
    }
    Advance(now);
    while (!out_.empty() && out_.front().due <= now) {
        Chunk& chunk = out_.front();
        const bool trickle = options_.byteByByte && !chunk.bytes.empty();
        if (trickle) {
            // One byte per write and kByteGap between any two, also from one chunk to the next.
            if (now < nextByte_) break;
            nextByte_ = now + kByteGap;
            if (chunk.bytes.size() > 1) {
                outputs.push_back(Output{chunk.bytes.substr(0, 1), Then::Nothing});
                chunk.bytes.erase(0, 1);
                break;
            }
        }
        Output output{std::move(chunk.bytes), chunk.then};
        if (chunk.endsOk) lastOk_ = now;
        out_.pop_front();
        if (output.then == Then::HangUp) {
            Unplugged(now);
        } else if (output.then == Then::Reset) {
            Reset(now);
        }
        outputs.push_back(std::move(output));
        if (trickle) break;
    }
    return outputs;
}

SimBoard::TimePoint SimBoard::NextDeadline() const {
    TimePoint deadline = TimePoint::max();
    if (const auto* gone = std::get_if<GoneState>(&phase_)) return gone->replugDue;
    if (const auto* booting = std::get_if<BootingState>(&phase_)) {
        deadline = booting->bannerDue;
    } else if (const auto* ready = std::get_if<ReadyState>(&phase_)) {
        deadline = ready->listenUntil;
        if (!ready->partial.empty()) deadline = std::min(deadline, ready->lastByte + kLineTimeout);
    } else if (const auto* busy = std::get_if<BusyState>(&phase_)) {
        deadline = busy->until;
    }
    deadline = std::min({deadline, model_.NextDeadline(), shortDue_});
    if (MainLoopRuns()) deadline = std::min(deadline, nextCheck_);
    if (!out_.empty()) {
        const Chunk& next = out_.front();
        deadline = std::min(deadline, options_.byteByByte && !next.bytes.empty()
                                          ? std::max(next.due, nextByte_)
                                          : next.due);
    }
    return deadline;
}

void SimBoard::SendRaw(std::string bytes, TimePoint now) {
    const State state = Current();
    if (state == State::Gone || state == State::Closed) {
        raw_.push_back(std::move(bytes));
    } else {
        Enqueue(std::move(bytes), now);
    }
}

void SimBoard::SetStatusFor(const std::string& command, int status) {
    if (status < 0) {
        statusFor_.erase(command);
    } else {
        statusFor_[command] = status;
    }
}

void SimBoard::SetReplyDelay(std::chrono::milliseconds delay) {
    replyDelay_ = delay;
}

void SimBoard::LoseNext(const std::string& command, int count) {
    if (count > 0) {
        lose_[command] = count;
    } else {
        lose_.erase(command);
    }
}

void SimBoard::SetSupplyVoltage(double volts) {
    model_.SetSupply(static_cast<std::int32_t>(std::lround(volts * 10)));
    Note("track supply " + std::to_string(model_.State().supply / 10) + "." +
         std::to_string(model_.State().supply % 10) + " V");
}

void SimBoard::ShortCircuit() {
    model_.ShortCircuit();
    Note("short circuit on the track: the next check with the track on trips the station");
}

void SimBoard::SetCv(std::int32_t cv, std::int32_t value) {
    model_.SetCv(cv, value);
}
