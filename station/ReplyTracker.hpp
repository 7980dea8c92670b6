#pragma once

#include "station/CommandOutcome.hpp"
#include "station/StationLine.hpp"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Which of the station's lines answers which command. The station's answers carry no command
// name or sequence number: the first completing status line after a command is written answers
// it, with the data lines before it. A command that went unanswered may still be answered later,
// so the next command is preceded by a ping: everything before the ping's "@DSG" line is a late
// answer to something earlier. A ready notice after the station's boot means it reset and
// forgot everything, the command it was given included. A ping's answer is recognised by its
// "@DSG" line: one that no ping under way was owed announces a late answer.
//
// A plain object: no lock, no thread, no clock (every time is an argument), no I/O. The link
// holds one per line under its lock; one command is under way at a time:
// Begin, then OnLine and Expire until Settled, then Finish.
class ReplyTracker {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    // The station wants this long after a status line before the next command.
    static constexpr std::chrono::milliseconds kPacing{100};
    // Time-outs in a row that mean the station is gone.
    static constexpr int kTimeoutsForLoss = 2;

    enum class State {
        // The line has just been opened: the station's boot ends with its ready notice.
        AwaitingReady,
        // No command under way; every command so far has had its answer or is known lost.
        InStep,
        // No command under way; one went unanswered (it timed out, or the station reset under
        // it) and its answer may still come: the next command needs a resynchronising ping.
        OutOfStep,
        // A resynchronising ping is written: every line before its "@DSG" answers something
        // earlier.
        AwaitingMark,
        // A command is written: the next completing status line answers it.
        AwaitingAnswer,
        // The answer came; Finish hands it over.
        Answered,
        // The deadline passed without an answer.
        TimedOut,
        // The station reset while the command waited: it will never answer.
        Reset,
    };

    // What one line meant.
    enum class Meaning {
        Nothing,
        Answer,  // the awaited answer
        Reset,   // a ready notice after the boot: the station forgot everything
        Ready,   // the ready notice that ends the boot the line was opened for
    };
    struct Heard {
        Meaning meaning = Meaning::Nothing;
        std::int32_t status = 0;          // of an answer
        std::vector<std::string> values;  // of an answer: its data line's fields
    };

    // How a command's exchange ended.
    enum class Ending {
        Answered,
        TimedOut,
        Reset,
        Unfinished,  // ended by its caller (a stop, a loss, a write that failed)
    };
    struct Result {
        Ending ending = Ending::Unfinished;
        std::int32_t status = 0;  // of the answer
        // The fields of the answer's latest data line with the tag the command expects (the CV
        // read's "CV"), as they stood when its status line came.
        std::vector<std::string> values;

        // Done for "200 Ok"; Unknown for "301 Stx err" (the station could not read the line)
        // and for every ending but an answer; Refused for any other completing code.
        CommandOutcome Outcome() const;
        // As the answer to "getLocoConfig(49152,cv)": Done with value written when the data line
        // holds four fields, the second is cv and the third (the value) is not 65535; Refused
        // with value written for 65535 (no decoder answered); Unknown without a readable data
        // line; the outcome of a status other than 200 as it is. Numbers are read like atoi.
        CommandOutcome CvValue(std::int32_t cv, std::int32_t& value) const;
    };

    // In step, with no status line heard.
    ReplyTracker() = default;

    // A line just opened: nothing owed, nothing to resynchronise, no time-outs; the next ready
    // notice ends the boot.
    void ExpectBoot();
    // The command is about to be written and is answered by deadline or not at all. A ping
    // while out of step waits for its "@DSG" mark first. Begin a ping first when ResyncNeeded.
    void Begin(const std::string& command, TimePoint deadline);
    // One line received at now: what it means for the command under way and the link.
    Heard OnLine(const StationLine& line, TimePoint now);
    // Ends the wait of the command under way once now has reached its deadline.
    void Expire(TimePoint now);
    // Hands over how the exchange ended and books it: an answer puts the link in step and ends a
    // run of time-outs, a time-out or a reset puts it out of step, a time-out adds to the run.
    // An exchange not yet settled ends Unfinished.
    Result Finish();

    // The state of the command under way, or of the link between commands.
    State Current() const { return state_; }
    // The command under way has been answered, has timed out or was cut short by a reset.
    bool Settled() const;
    // When Expire must be called for the command under way; TimePoint::max() with none.
    TimePoint NextDeadline() const;
    // The earliest the next command may be written: kPacing after the latest status line;
    // TimePoint::min() before any.
    TimePoint ReadyAt() const;
    // The next command needs a resynchronising ping before it.
    bool ResyncNeeded() const { return state_ == State::OutOfStep; }
    // kTimeoutsForLoss commands in a row went unanswered: the station is gone.
    bool Lost() const { return timeoutsInRow_ >= kTimeoutsForLoss; }
    // The station reset after its boot and has been sent nothing since (a station with its
    // wireless card fitted stops listening to the line unless a command comes soon).
    bool GreetingOwed() const { return greetingOwed_; }
    // line, about to be heard, belongs to the answer of the ping under way: its "@DSG" mark, or
    // any line after the mark up to the answer's status line, a ready notice excepted. Lines
    // before the mark answer something earlier.
    bool InPingAnswer(const StationLine& line) const;

private:
    State state_ = State::InStep;
    // The command under way (AwaitingMark, AwaitingAnswer) and its answer (Answered).
    struct Exchange {
        TimePoint deadline{};
        bool ping = false;
        // 1 while the command is a ping whose "@DSG" line has not come. Only the command under
        // way is owed one: a ping that went unanswered may never be answered (a station that
        // has just reset drops it), and its debt would hide the next ping's own answer.
        int pingsOwed = 0;
        std::string expectedTag;  // empty: no data lines kept
        std::int32_t status = 0;
        std::vector<std::string> values;
    } exchange_;
    // Completing status lines on their way that answer nothing under way: one for each "@DSG"
    // line no ping was owed. A ping that timed out can still be answered, behind the next ping,
    // which then takes that answer for its own; its own answer then comes as a late one.
    int lateAnswers_ = 0;
    int timeoutsInRow_ = 0;
    bool greetingOwed_ = false;
    std::optional<TimePoint> lastStatusAt_;
};
