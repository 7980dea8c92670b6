#include "station/ReplyTracker.hpp"

#include <utility>

namespace {

const char kPing[] = "setPing()";
// The tag of the first data line of the station's answer to a ping.
const char kPingTag[] = "DSG";

// The data lines a command reads from its answer.
struct ExpectedData {
    const char* commandPrefix;
    const char* tag;
};
const ExpectedData kExpectedData[] = {
    {"getLocoConfig(", "CV"},
};

std::string ExpectedTag(const std::string& command) {
    for (const ExpectedData& row : kExpectedData) {
        if (command.rfind(row.commandPrefix, 0) == 0) return row.tag;
    }
    return {};
}

bool Awaiting(ReplyTracker::State state) {
    return state == ReplyTracker::State::AwaitingMark ||
           state == ReplyTracker::State::AwaitingAnswer;
}

}  // namespace

CommandOutcome ReplyTracker::Result::Outcome() const {
    if (ending != Ending::Answered) return CommandOutcome::Unknown;
    if (status == StationLine::kOk) return CommandOutcome::Done;
    if (status == StationLine::kSyntaxError) return CommandOutcome::Unknown;
    return CommandOutcome::Refused;
}

CommandOutcome ReplyTracker::Result::CvValue(std::int32_t cv, std::int32_t& value) const {
    const CommandOutcome outcome = Outcome();
    if (outcome != CommandOutcome::Done) return outcome;
    if (values.size() != 4 || StationLine::ReadNumber(values[1]) != cv) {
        return CommandOutcome::Unknown;
    }
    value = StationLine::ReadNumber(values[2]);
    // What the station reports when no decoder answered the read.
    return value == 65535 ? CommandOutcome::Refused : CommandOutcome::Done;
}

void ReplyTracker::ExpectBoot() {
    state_ = State::AwaitingReady;
    exchange_ = Exchange{};
    lateAnswers_ = 0;
    timeoutsInRow_ = 0;
    greetingOwed_ = false;
}

void ReplyTracker::Begin(const std::string& command, TimePoint deadline) {
    const bool ping = command == kPing;
    state_ = ping && state_ == State::OutOfStep ? State::AwaitingMark : State::AwaitingAnswer;
    exchange_ = Exchange{deadline, ping, ping ? 1 : 0, ExpectedTag(command), 0, {}};
    greetingOwed_ = false;
}

ReplyTracker::Heard ReplyTracker::OnLine(const StationLine& line, TimePoint now) {
    Heard heard;
    if (line.kind() == StationLine::Kind::Data) {
        if (line.Tag() == kPingTag) {
            if (Awaiting(state_) && exchange_.pingsOwed > 0) {
                --exchange_.pingsOwed;
                if (state_ == State::AwaitingMark) {
                    // The resynchronising ping's own answer begins: whatever came before it has
                    // come, and the next completing line is its.
                    state_ = State::AwaitingAnswer;
                    lateAnswers_ = 0;
                }
            } else {
                ++lateAnswers_;
            }
        }
        if (Awaiting(state_) && !exchange_.expectedTag.empty() &&
            line.Tag() == exchange_.expectedTag) {
            exchange_.values = line.Fields();
        }
        return heard;
    }

    // Text without a code counts for the pacing too: the station has just sent something.
    lastStatusAt_ = now;
    if (line.IsReadyNotice()) {
        // A station that booted has forgotten the lines it owed.
        lateAnswers_ = 0;
        if (state_ == State::AwaitingReady) {
            state_ = State::InStep;
            heard.meaning = Meaning::Ready;
            return heard;
        }
        greetingOwed_ = true;
        if (Awaiting(state_)) state_ = State::Reset;
        heard.meaning = Meaning::Reset;
        return heard;
    }
    if (!line.Completes()) return heard;
    if (lateAnswers_ > 0) {
        --lateAnswers_;
    } else if (state_ == State::AwaitingAnswer) {
        state_ = State::Answered;
        exchange_.status = line.Code();
        // The data lines of the answer are those before its status line; a line that follows
        // before the caller finishes must not replace them.
        heard = {Meaning::Answer, exchange_.status, exchange_.values};
    }
    return heard;
}

void ReplyTracker::Expire(TimePoint now) {
    if (Awaiting(state_) && now >= exchange_.deadline) state_ = State::TimedOut;
}

ReplyTracker::Result ReplyTracker::Finish() {
    Result result;
    switch (state_) {
        case State::Answered:
            result = {Ending::Answered, exchange_.status, std::move(exchange_.values)};
            timeoutsInRow_ = 0;
            state_ = State::InStep;
            break;
        case State::TimedOut:
            result.ending = Ending::TimedOut;
            ++timeoutsInRow_;
            state_ = State::OutOfStep;
            break;
        case State::Reset:
            // The station is there, but a command written as it came back may still be
            // answered: the next one resynchronises.
            result.ending = Ending::Reset;
            state_ = State::OutOfStep;
            break;
        case State::AwaitingMark:
        case State::AwaitingAnswer:
            // Written and not answered: its answer may still come.
            state_ = State::OutOfStep;
            break;
        case State::AwaitingReady:
        case State::InStep:
        case State::OutOfStep:
            break;
    }
    exchange_ = Exchange{};
    return result;
}

bool ReplyTracker::InPingAnswer(const StationLine& line) const {
    if (!Awaiting(state_) || !exchange_.ping || line.IsReadyNotice()) return false;
    if (exchange_.pingsOwed == 0) return true;
    return line.kind() == StationLine::Kind::Data && line.Tag() == kPingTag;
}

bool ReplyTracker::Settled() const {
    return state_ == State::Answered || state_ == State::TimedOut || state_ == State::Reset;
}

ReplyTracker::TimePoint ReplyTracker::NextDeadline() const {
    return Awaiting(state_) ? exchange_.deadline : TimePoint::max();
}

ReplyTracker::TimePoint ReplyTracker::ReadyAt() const {
    return lastStatusAt_ ? *lastStatusAt_ + kPacing : TimePoint::min();
}
