#include "station/ReplyTracker.hpp"

#include "station/StationLine.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

// Names in failure messages instead of bytes.
static void PrintTo(CommandOutcome outcome, std::ostream* out) {
    const char* const names[] = {"Done", "Refused", "Unknown", "NotSent"};
    *out << names[static_cast<int>(outcome)];
}
static void PrintTo(ReplyTracker::State state, std::ostream* out) {
    const char* const names[] = {"AwaitingReady",  "InStep",   "OutOfStep", "AwaitingMark",
                                 "AwaitingAnswer", "Answered", "TimedOut",  "Reset"};
    *out << names[static_cast<int>(state)];
}
static void PrintTo(ReplyTracker::Meaning meaning, std::ostream* out) {
    const char* const names[] = {"Nothing", "Answer", "Reset", "Ready"};
    *out << names[static_cast<int>(meaning)];
}
static void PrintTo(ReplyTracker::Ending ending, std::ostream* out) {
    const char* const names[] = {"Answered", "TimedOut", "Reset", "Unfinished"};
    *out << names[static_cast<int>(ending)];
}

namespace {

using namespace std::chrono_literals;
using State = ReplyTracker::State;
using Meaning = ReplyTracker::Meaning;
using Ending = ReplyTracker::Ending;
using TimePoint = ReplyTracker::TimePoint;

const char kPingMark[] = "@DSG,00,03,00,02,00,00,00,00\r";
const char kPingStatus[] = "@DSS,N,0,8,,148,00,2,17\r";

// One step of a scripted session; the test's clock starts at an arbitrary point and moves only
// with Pass.
struct Step {
    enum class Op { Boot, Write, Hear, Pass, End, Check } op = Op::Check;
    std::string text;                  // Write: the command; Hear: the line
    std::chrono::milliseconds time{};  // Write: its time-out; Pass: how long
    std::optional<Meaning> meaning;    // Hear: what the line must mean, if it matters
    // End: how the exchange must end. Check: the state and the link's standing.
    Ending ending = Ending::Unfinished;
    std::int32_t status = 0;
    CommandOutcome outcome = CommandOutcome::NotSent;
    std::vector<std::string> values;
    State state = State::InStep;
    bool lost = false;
    bool greetingOwed = false;
};

Step Make(Step::Op op, const std::string& text = {}, std::chrono::milliseconds time = {}) {
    Step step;
    step.op = op;
    step.text = text;
    step.time = time;
    return step;
}
Step Boot() {
    return Make(Step::Op::Boot);
}
Step Write(const std::string& command, std::chrono::milliseconds timeout = 1500ms) {
    return Make(Step::Op::Write, command, timeout);
}
Step Hear(const std::string& line, std::optional<Meaning> meaning = std::nullopt) {
    Step step = Make(Step::Op::Hear, line);
    step.meaning = meaning;
    return step;
}
Step Pass(std::chrono::milliseconds time) {
    return Make(Step::Op::Pass, {}, time);
}
Step Ends(Ending ending, std::int32_t status, CommandOutcome outcome,
          std::vector<std::string> values = {}) {
    Step step = Make(Step::Op::End);
    step.ending = ending;
    step.status = status;
    step.outcome = outcome;
    step.values = std::move(values);
    return step;
}
Step TimesOut() {
    return Ends(Ending::TimedOut, 0, CommandOutcome::Unknown);
}
Step Check(State state, bool lost = false, bool greetingOwed = false) {
    Step step = Make(Step::Op::Check);
    step.state = state;
    step.lost = lost;
    step.greetingOwed = greetingOwed;
    return step;
}
// A ping answered as the station answers it.
std::vector<Step> PingAnswered() {
    return {Hear(kPingMark), Hear(kPingStatus), Hear("200 Ok\r", Meaning::Answer),
            Ends(Ending::Answered, 200, CommandOutcome::Done)};
}

struct Session {
    const char* name;
    std::vector<Step> steps;
};

std::vector<Step> Join(std::initializer_list<std::vector<Step>> parts) {
    std::vector<Step> steps;
    for (const std::vector<Step>& part : parts)
        steps.insert(steps.end(), part.begin(), part.end());
    return steps;
}

void Play(const Session& session) {
    SCOPED_TRACE(session.name);
    ReplyTracker tracker;
    TimePoint now = TimePoint{} + 1h;
    for (std::size_t i = 0; i < session.steps.size(); ++i) {
        const Step& step = session.steps[i];
        SCOPED_TRACE("step " + std::to_string(i) + " " + step.text);
        switch (step.op) {
            case Step::Op::Boot:
                tracker.ExpectBoot();
                break;
            case Step::Op::Write:
                tracker.Begin(step.text, now + step.time);
                break;
            case Step::Op::Hear: {
                const State before = tracker.Current();
                const ReplyTracker::Heard heard = tracker.OnLine(StationLine(step.text), now);
                if (step.meaning) {
                    EXPECT_EQ(heard.meaning, *step.meaning);
                }
                // An answer is what settles the exchange, and nothing else does.
                EXPECT_EQ(heard.meaning == Meaning::Answer,
                          before != State::Answered && tracker.Current() == State::Answered);
                if (heard.meaning == Meaning::Answer) {
                    EXPECT_EQ(heard.status, StationLine(step.text).Code());
                }
                break;
            }
            case Step::Op::Pass:
                now += step.time;
                tracker.Expire(now);
                break;
            case Step::Op::End: {
                const ReplyTracker::Result result = tracker.Finish();
                EXPECT_EQ(result.ending, step.ending);
                EXPECT_EQ(result.status, step.status);
                EXPECT_EQ(result.Outcome(), step.outcome);
                EXPECT_EQ(result.values, step.values);
                break;
            }
            case Step::Op::Check:
                EXPECT_EQ(tracker.Current(), step.state);
                EXPECT_EQ(tracker.Lost(), step.lost);
                EXPECT_EQ(tracker.GreetingOwed(), step.greetingOwed);
                break;
        }
    }
}

// What the station may send before the answer, and which line answers.
TEST(ReplyTracker, OnlyTheFirstCompletingStatusLineAfterTheWriteAnswers) {
    const auto answered = [](const char* line, std::int32_t status, CommandOutcome outcome,
                             std::vector<Step> after = {}) {
        std::vector<Step> steps = {Write("setPower(1)"), Hear(line, Meaning::Answer)};
        steps.insert(steps.end(), after.begin(), after.end());
        steps.push_back(Ends(Ending::Answered, status, outcome));
        steps.push_back(Check(State::InStep));
        return steps;
    };
    const Session sessions[] = {
        {"success after other lines",
         {Write("setPower(1)"), Hear("Desktop Station air\r", Meaning::Nothing),
          Hear("Init SD card...OK\r", Meaning::Nothing), Hear("@CV,1\r", Meaning::Nothing),
          Hear("", Meaning::Nothing), Hear(" 200 Ok\r", Meaning::Nothing),
          Hear("200 Ok\r", Meaning::Answer), Ends(Ending::Answered, 200, CommandOutcome::Done)}},
        {"LF only", answered("200 Ok", 200, CommandOutcome::Done)},
        {"other completing code", answered("201 Busy\r", 201, CommandOutcome::Refused)},
        {"error code", answered("299 Err\r", 299, CommandOutcome::Refused)},
        {"unknown command", answered("300 Cmd err\r", 300, CommandOutcome::Refused)},
        // The station could not read the line (noise): whether it was the command is not known.
        {"syntax error", answered("301 Stx err\r", 301, CommandOutcome::Unknown)},
        {"other refusal", answered("399 x\r", 399, CommandOutcome::Refused)},
        {"the completing line counts, not what follows",
         answered("200 Ok\r", 200, CommandOutcome::Done, {Hear("noise\r", Meaning::Nothing)})},
        // Both lines are in before the waiting command looks: the first is the answer.
        {"the first of two completing lines answers",
         answered("200 Ok\r", 200, CommandOutcome::Done, {Hear("201 Busy\r", Meaning::Nothing)})},
        {"a refusal followed by success stays a refusal",
         answered("300 Cmd err\r", 300, CommandOutcome::Refused,
                  {Hear("200 Ok\r", Meaning::Nothing)})},
        {"codes outside the completing range do not answer",
         {Write("setPower(1)"), Hear("199 x\r", Meaning::Nothing),
          Hear("400 x\r", Meaning::Nothing), Hear("0 x\r", Meaning::Nothing),
          Hear("-200\r", Meaning::Nothing), Hear("@200\r", Meaning::Nothing),
          Hear("200 Ok\r", Meaning::Answer), Ends(Ending::Answered, 200, CommandOutcome::Done)}},
        {"a line before the write does not answer",
         {Hear("200 Ok\r", Meaning::Nothing), Write("setPower(1)"), Hear("noise\r"), Pass(1500ms),
          TimesOut(), Check(State::OutOfStep)}},
        {"after its deadline a command is answered no more",
         {Write("setPower(1)"), Pass(1499ms), Check(State::AwaitingAnswer), Pass(1ms),
          Check(State::TimedOut), Hear("200 Ok\r", Meaning::Nothing), TimesOut()}},
        {"a line just before the deadline answers",
         {Write("setPower(1)", 1500ms), Pass(1499ms), Hear("200 Ok\r", Meaning::Answer),
          Ends(Ending::Answered, 200, CommandOutcome::Done)}},
    };
    for (const Session& session : sessions)
        Play(session);
}

// An earlier command that timed out may still be answered; the ping before the next command
// finds where its own answer begins, so that no late line completes a later command.
TEST(ReplyTracker, LateAnswersNeverCompleteALaterCommand) {
    struct LateCase {
        const char* name;
        const char* unanswered;         // the command that times out
        std::vector<const char*> late;  // its answer, arriving behind the next ping
    };
    const LateCase cases[] = {
        {"late success", "setPower(1)", {"200 Ok\r"}},
        {"late refusal", "setLocoFunction(49155,61,1)", {"300 Cmd err\r"}},
        {"late CV value", "getLocoConfig(49152,8)", {"@CV,49152,8,99,\r", "200 Ok\r"}},
        {"late ping answer", "setPing()", {kPingMark, kPingStatus, "200 Ok\r"}},
    };
    for (const LateCase& c : cases) {
        std::vector<Step> steps = {Write(c.unanswered), Pass(1500ms), TimesOut(),
                                   Check(State::OutOfStep), Write("setPing()")};
        for (const char* line : c.late)
            steps.push_back(Hear(line));
        const std::vector<Step> rest = {
            Hear(kPingMark),
            Hear(kPingStatus),
            Hear("200 Ok\r"),
            Ends(Ending::Answered, 200, CommandOutcome::Done),
            Check(State::InStep),
            Write("getLocoConfig(49152,8)", 15000ms),
            Hear("@CV,49152,8,145,\r"),
            Hear("200 Ok\r", Meaning::Answer),
            Ends(Ending::Answered, 200, CommandOutcome::Done, {"49152", "8", "145", "\r"})};
        steps.insert(steps.end(), rest.begin(), rest.end());
        Play({c.name, steps});
    }
}

TEST(ReplyTracker, TheResynchronisingPingWaitsForItsMark) {
    const Session sessions[] = {
        {"everything before the mark is late",
         Join({{Write("setPower(1)"), Pass(1500ms), TimesOut(), Write("setPing()"),
                Hear("200 Ok\r", Meaning::Nothing), Hear("300 Cmd err\r", Meaning::Nothing),
                Hear("@CV,49152,8,99,\r", Meaning::Nothing), Check(State::AwaitingMark)},
               PingAnswered(),
               {Check(State::InStep)}})},
        // The refusal is still an answer: the station is there and in step.
        {"a mark followed by a refusal",
         {Write("setPower(1)"), Pass(1500ms), TimesOut(), Write("setPing()"), Hear(kPingMark),
          Hear("301 Stx err\r", Meaning::Answer),
          Ends(Ending::Answered, 301, CommandOutcome::Unknown), Check(State::InStep)}},
        {"no mark, no answer",
         {Write("setPower(1)"), Pass(1500ms), TimesOut(), Write("setPing()"), Hear("200 Ok\r"),
          Pass(1500ms), TimesOut(), Check(State::OutOfStep, true)}},
        // Only a ping finds the mark; another command written out of step takes the next line.
        {"a command other than a ping is not resynchronised",
         {Write("setPower(1)"), Pass(1500ms), TimesOut(), Write("setPower(0)"),
          Check(State::AwaitingAnswer), Hear("200 Ok\r", Meaning::Answer),
          Ends(Ending::Answered, 200, CommandOutcome::Done)}},
        // Written but never settled (a stop, a loss, a failed write): its answer may still come.
        {"an exchange cut short leaves the link out of step",
         {Write("setPower(1)"), Ends(Ending::Unfinished, 0, CommandOutcome::Unknown),
          Check(State::OutOfStep), Write("setPing()"), Check(State::AwaitingMark)}},
    };
    for (const Session& session : sessions)
        Play(session);
}

// A ping's answer is recognised by its "@DSG" line. A ping that timed out may be answered all
// the same, behind the next ping, which then takes that answer for its own: its own answer is a
// late one, and must not answer the command after it however slowly it comes.
TEST(ReplyTracker, APingAnswerNobodyAwaitsAnswersNothing) {
    // A slow station: the first ping times out, its answer completes the second.
    const std::vector<Step> mistaken = {Write("setPing()"),
                                        Pass(1500ms),
                                        TimesOut(),
                                        Write("setPing()"),
                                        Hear(kPingMark),
                                        Hear(kPingStatus),
                                        Hear("200 Ok\r", Meaning::Answer),
                                        Ends(Ending::Answered, 200, CommandOutcome::Done)};
    const std::vector<Step> refused = {Hear("300 Cmd err\r", Meaning::Answer),
                                       Ends(Ending::Answered, 300, CommandOutcome::Refused)};
    const Session sessions[] = {
        {"the ping's own answer after the next command is written",
         Join({mistaken,
               {Write("setPower(1)"), Hear(kPingMark), Hear(kPingStatus),
                Hear("200 Ok\r", Meaning::Nothing)},
               refused})},
        {"its data lines before the write, its status line after",
         Join({mistaken,
               {Hear(kPingMark), Hear(kPingStatus), Write("setPower(1)"),
                Hear("200 Ok\r", Meaning::Nothing)},
               refused})},
        {"all of it before the write",
         Join({mistaken,
               {Hear(kPingMark), Hear(kPingStatus), Hear("200 Ok\r", Meaning::Nothing),
                Write("setPower(1)")},
               refused})},
        // Whatever was announced before it has come or never will.
        {"the next mark settles what was announced",
         Join(
             {{Hear(kPingMark), Write("setPower(1)"), Pass(1500ms), TimesOut(), Write("setPing()")},
              PingAnswered()})},
        {"a reset forgets what was announced",
         Join({{Hear(kPingMark), Hear("100 Ready\r", Meaning::Reset), Write("setPower(1)"),
                Hear("200 Ok\r", Meaning::Answer)}})},
    };
    for (const Session& session : sessions)
        Play(session);
}

TEST(ReplyTracker, TwoTimeOutsInARowMeanTheStationIsGone) {
    const Session sessions[] = {
        {"a command and the ping after it",
         {Write("setPower(1)"), Pass(1500ms), TimesOut(), Check(State::OutOfStep, false),
          Write("setPing()"), Pass(1500ms), TimesOut(), Check(State::OutOfStep, true)}},
        {"an answer ends the run",
         Join({{Write("setPower(1)"), Pass(1500ms), TimesOut(), Write("setPing()")},
               PingAnswered(),
               {Write("setPower(0)"), Pass(1500ms), TimesOut(), Check(State::OutOfStep, false)}})},
        {"a refusal ends the run too",
         {Write("setPower(1)"), Pass(1500ms), TimesOut(), Write("setPing()"), Hear(kPingMark),
          Hear("300 Cmd err\r"), Ends(Ending::Answered, 300, CommandOutcome::Refused),
          Write("setPower(0)"), Pass(1500ms), TimesOut(), Check(State::OutOfStep, false)}},
        // A reset is no silence: the station answered with its boot.
        {"a reset is no time-out",
         {Write("setPower(1)"), Pass(1500ms), TimesOut(), Write("setPing()"),
          Hear("100 Ready\r", Meaning::Reset), Ends(Ending::Reset, 0, CommandOutcome::Unknown),
          Check(State::OutOfStep, false, true)}},
        {"a fresh line forgets the run",
         {Write("setPower(1)"), Pass(1500ms), TimesOut(), Write("setPing()"), Pass(1500ms),
          TimesOut(), Hear("100 Ready\r", Meaning::Reset), Check(State::OutOfStep, true, true),
          Boot(), Check(State::AwaitingReady, false, false)}},
    };
    for (const Session& session : sessions)
        Play(session);
}

// The boot's ready notice ends the handshake's wait; any later one means the station reset and
// forgot everything, the command it was given included.
TEST(ReplyTracker, AReadyNoticeAfterTheBootIsAReset) {
    const std::vector<Step> handshake = Join(
        {{Boot(), Check(State::AwaitingReady), Hear("Desktop Station air\r", Meaning::Nothing),
          Hear("Init SD card...OK\r", Meaning::Nothing), Hear("200 Ok\r", Meaning::Nothing),
          Hear("100 Ready\r", Meaning::Ready), Check(State::InStep), Write("setPing()", 3000ms)},
         PingAnswered()});
    const Session sessions[] = {
        {"the handshake", handshake},
        {"a reset while idle owes the station a greeting",
         Join({handshake,
               {Hear("Desktop Station air\r"), Hear("100 Ready\r", Meaning::Reset),
                Check(State::InStep, false, true), Write("setPing()"),
                Check(State::AwaitingAnswer, false, false)},
               PingAnswered()})},
        {"any command is greeting enough",
         Join({handshake,
               {Hear("100 Ready\r", Meaning::Reset), Write("setPower(0)"),
                Check(State::AwaitingAnswer, false, false), Hear("200 Ok\r", Meaning::Answer)}})},
        {"a reset ends the wait of the command it interrupted",
         Join({handshake,
               {Write("getLocoConfig(49152,8)", 15000ms), Hear("Desktop Station air\r"),
                Hear("100 Ready\r", Meaning::Reset), Check(State::Reset, false, true),
                Ends(Ending::Reset, 0, CommandOutcome::Unknown),
                // A command written as it came back might still be answered.
                Check(State::OutOfStep, false, true), Write("setPing()"),
                Check(State::AwaitingMark)},
               PingAnswered()})},
        {"a reset ends the wait of a resynchronising ping",
         {Write("setPower(1)"), Pass(1500ms), TimesOut(), Write("setPing()"),
          Hear("100 Ready\r", Meaning::Reset), Ends(Ending::Reset, 0, CommandOutcome::Unknown)}},
        {"an answered command stays answered",
         {Write("setPower(1)"), Hear("200 Ok\r", Meaning::Answer),
          Hear("100 Ready\r", Meaning::Reset), Ends(Ending::Answered, 200, CommandOutcome::Done),
          Check(State::InStep, false, true)}},
        // A station that booted owes nothing from before: the next ping's mark is its own.
        {"a reset forgets the pings owed",
         Join({{Write("setPing()"), Pass(1500ms), TimesOut(), Hear("100 Ready\r", Meaning::Reset),
                Write("setPing()"), Check(State::AwaitingMark)},
               PingAnswered()})},
        // The greeting to a station that has just reset is lost (its wireless card was not
        // listening yet): the ping after it finds its own answer, and the link stays.
        {"a greeting ping lost in the reset is owed no longer",
         Join({handshake,
               {Hear("100 Ready\r", Meaning::Reset), Write("setPing()"), Pass(1500ms), TimesOut(),
                Check(State::OutOfStep, false), Write("setPing()")},
               PingAnswered(),
               {Check(State::InStep, false)}})},
        {"a second boot notice during the handshake is a reset",
         {Boot(), Hear("100 Ready\r", Meaning::Ready), Hear("100 Ready\r", Meaning::Reset)}},
        // Only "100 Ready" is the notice: another line with the code 100 (noise, a status line
        // cut short) neither ends the boot nor tells of a reset (found by fuzz_station).
        {"a line with code 100 does not end the boot",
         {Boot(), Hear("100k\r", Meaning::Nothing), Hear("100\r", Meaning::Nothing),
          Check(State::AwaitingReady), Hear("100 Ready\r", Meaning::Ready), Check(State::InStep)}},
        {"a line with code 100 does not end a CV read's wait",
         Join({handshake,
               {Write("getLocoConfig(49152,8)", 15000ms), Hear("100k\r", Meaning::Nothing),
                Check(State::AwaitingAnswer), Hear("@CV,49152,8,145,\r"),
                Hear("200 Ok\r", Meaning::Answer),
                Ends(Ending::Answered, 200, CommandOutcome::Done, {"49152", "8", "145", "\r"}),
                Check(State::InStep, false, false)}})},
    };
    for (const Session& session : sessions)
        Play(session);
}

// The fields of the latest data line with the expected tag before the answer; nothing else.
TEST(ReplyTracker, TheCvReadKeepsItsDataLine) {
    struct CvCase {
        const char* name;
        std::vector<const char*> lines;  // the station's answer
        CommandOutcome outcome;
        std::int32_t value;  // afterwards; 11 is the caller's own
    };
    const CvCase cases[] = {
        {"value read", {"@CV,0,8,145,0\r", "200 Ok\r"}, CommandOutcome::Done, 145},
        {"device form", {"@CV,49152,8,129,\r", "200 Ok\r"}, CommandOutcome::Done, 129},
        {"numbers read like atoi", {"@CV,49152, 8x,-3y,\r", "200 Ok\r"}, CommandOutcome::Done, -3},
        {"no decoder answered",
         {"@CV,49152,8,65535,\r", "200 Ok\r"},
         CommandOutcome::Refused,
         65535},
        {"other CV number", {"@CV,49152,7,145,\r", "200 Ok\r"}, CommandOutcome::Unknown, 11},
        {"three values", {"@CV,49152,8,145\r", "200 Ok\r"}, CommandOutcome::Unknown, 11},
        {"five values", {"@CV,49152,8,145,,\r", "200 Ok\r"}, CommandOutcome::Unknown, 11},
        {"no data line", {"200 Ok\r"}, CommandOutcome::Unknown, 11},
        {"another tag", {"@CVWrite,8,145\r", "200 Ok\r"}, CommandOutcome::Unknown, 11},
        {"the tag in lower case", {"@cv,49152,8,145,\r", "200 Ok\r"}, CommandOutcome::Unknown, 11},
        {"the latest data line counts",
         {"@CV,49152,8,99,\r", "@CV,49152,8,145,\r", "200 Ok\r"},
         CommandOutcome::Done,
         145},
        {"a tag alone empties the values",
         {"@CV,49152,8,145,\r", "@CV", "200 Ok\r"},
         CommandOutcome::Unknown,
         11},
        {"other data lines leave them",
         {"@CV,49152,8,145,\r", "@DSS,N\r", "@cv,1,2,3,4\r", "200 Ok\r"},
         CommandOutcome::Done,
         145},
        {"station refuses", {"@CV,49152,8,145,\r", "201 Busy\r"}, CommandOutcome::Refused, 11},
        {"station could not read it",
         {"@CV,49152,8,145,\r", "301 Stx err\r"},
         CommandOutcome::Unknown,
         11},
        {"a data line after the answer does not replace it",
         {"@CV,49152,8,145,\r", "200 Ok\r", "@CV,49152,8,99,\r"},
         CommandOutcome::Done,
         145},
    };
    for (const CvCase& c : cases) {
        SCOPED_TRACE(c.name);
        ReplyTracker tracker;
        const TimePoint now = TimePoint{} + 1h;
        tracker.Begin("getLocoConfig(49152,8)", now + 15s);
        for (const char* line : c.lines)
            tracker.OnLine(StationLine(line), now);
        std::int32_t value = 11;
        EXPECT_EQ(tracker.Finish().CvValue(8, value), c.outcome);
        EXPECT_EQ(value, c.value);
    }
}

TEST(ReplyTracker, DataLinesBelongToTheExchangeTheyArriveIn) {
    const Session sessions[] = {
        {"a command that reads nothing keeps nothing",
         {Write("setPower(1)"), Hear("@CV,49152,8,145,\r"), Hear("@,a,b\r"), Hear("200 Ok\r"),
          Ends(Ending::Answered, 200, CommandOutcome::Done, {})}},
        {"a data line before the write is not the command's",
         {Hear("@CV,49152,8,99,\r"), Write("getLocoConfig(49152,8)", 15000ms), Hear("200 Ok\r"),
          Ends(Ending::Answered, 200, CommandOutcome::Done, {})}},
        {"the values of an earlier read are forgotten",
         {Write("getLocoConfig(49152,8)", 15000ms), Hear("@CV,49152,8,145,\r"), Hear("200 Ok\r"),
          Ends(Ending::Answered, 200, CommandOutcome::Done, {"49152", "8", "145", "\r"}),
          Write("getLocoConfig(49152,8)", 15000ms), Hear("200 Ok\r"),
          Ends(Ending::Answered, 200, CommandOutcome::Done, {})}},
        {"a timed-out read hands over no values",
         {Write("getLocoConfig(49152,8)", 15000ms), Hear("@CV,49152,8,145,\r"), Pass(15s),
          TimesOut()}},
    };
    for (const Session& session : sessions)
        Play(session);
}

// The station wants 100 ms after each status line; data lines do not count.
TEST(ReplyTracker, TheNextCommandWaitsOutTheStationsPause) {
    ReplyTracker tracker;
    const TimePoint start = TimePoint{} + 1h;
    EXPECT_EQ(tracker.ReadyAt(), TimePoint::min());  // nothing heard: at once
    struct PauseCase {
        std::chrono::milliseconds at;
        const char* line;
        std::chrono::milliseconds readyAt;
    };
    const PauseCase cases[] = {
        {0ms, "100 Ready\r", 100ms},     {30ms, "@DSG,00\r", 100ms}, {40ms, "200 Ok\r", 140ms},
        {150ms, "Desktop\r", 250ms},     {300ms, "", 400ms},         {350ms, "@CV,1\r", 400ms},
        {500ms, "301 Stx err\r", 600ms},
    };
    for (const PauseCase& c : cases) {
        tracker.OnLine(StationLine(c.line), start + c.at);
        EXPECT_EQ(tracker.ReadyAt(), start + c.readyAt) << c.line;
    }
    // Neither a command nor a fresh line moves it: the station's pause is the station's.
    tracker.Begin("setPower(1)", start + 2s);
    tracker.ExpectBoot();
    EXPECT_EQ(tracker.ReadyAt(), start + 600ms);
}

TEST(ReplyTracker, OnlyACommandUnderWayHasADeadline) {
    ReplyTracker tracker;
    const TimePoint now = TimePoint{} + 1h;
    EXPECT_EQ(tracker.NextDeadline(), TimePoint::max());
    tracker.Begin("setPower(1)", now + 1500ms);
    EXPECT_EQ(tracker.NextDeadline(), now + 1500ms);
    tracker.OnLine(StationLine("200 Ok"), now);
    EXPECT_EQ(tracker.NextDeadline(), TimePoint::max());
    tracker.Finish();
    tracker.Begin("setPower(1)", now + 1500ms);
    tracker.Expire(now + 1500ms);
    EXPECT_EQ(tracker.NextDeadline(), TimePoint::max());
}

}  // namespace
