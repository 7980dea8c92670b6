// Station bytes through the link's cores, StationLineFramer, StationLine, StationStatus and
// ReplyTracker, with the time stepped by the input, and through an unconnected link's echo; all
// checked against a model of the rules written apart.
//
// Input: see FuzzInput. The first payload byte picks the mode:
//   bit 0  a command is under way (Begin before the bytes); otherwise the bytes arrive with
//          nothing under way
//   bit 1  the command is the CV read "getLocoConfig(49152,cv)"; otherwise one of kCommands
//          (bits 4-5)
//   bit 2  with nothing under way: the line has just been opened, the first ready notice ends
//          the station's boot; with a command under way: once it has settled, "setPower(0)"
//          follows, or "setPing()" when it went unanswered
//   bit 7  with a command under way: an earlier command timed out first, so a ping waits for
//          its "@DSG" mark
//   bits 3 and 6 together: the bytes start with a line longer than the link keeps (bit 4: a
//          data line); rare because such an input costs a hundred ordinary ones
// The rest of the payload is what the station sends. Control bytes: the CV number of the read
// (default 8), then for each chunk its size (0: all that is left), which is also the time it
// takes to arrive in units of 10 ms.

#include "fuzz/FuzzCheck.hpp"
#include "fuzz/FuzzInput.hpp"
#include "station/NDSDCCImpl.hpp"
#include "station/ReplyTracker.hpp"
#include "station/StationLine.hpp"
#include "station/StationLineFramer.hpp"
#include "station/StationStatus.hpp"

#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using TimePoint = ReplyTracker::TimePoint;
using Meaning = ReplyTracker::Meaning;
using Ending = ReplyTracker::Ending;

const char* const kCommands[] = {"setPower(1)", "setLocoConfig(49152,1,3)",
                                 "setLocoSpeed(49155,40,2)", "setPing()"};
constexpr std::int32_t kUntouched = -12345;
constexpr auto kTimeout = 1500ms;
constexpr std::size_t kCap = StationLineFramer::kMaxLineLength;

// What the unconnected link printed.
struct Console {
    std::vector<std::string> received;  // "[D Recv] %s\n"
    std::vector<std::string> other;
};

Console& TheConsole() {
    static Console console;
    return console;
}

void RecordLog(const char* format, ...) {
    Console& console = TheConsole();
    va_list args;
    va_start(args, format);
    if (std::strcmp(format, "[D Recv] %s\n") == 0) {
        console.received.emplace_back(va_arg(args, const char*));
    } else {
        console.other.emplace_back(format);
    }
    va_end(args);
}

// atoi's reading: leading white space, a sign, digits up to the first other character, 0
// without digits, held to the 32-bit range.
std::int32_t ReadNumber(const std::string& text) {
    std::size_t i = text.find_first_not_of(" \t\n\v\f\r");
    if (i == std::string::npos) return 0;
    bool negative = false;
    if (text[i] == '-' || text[i] == '+') negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > 1LL << 32) value = 1LL << 32;
    }
    if (negative) value = -value;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<std::int32_t>(value);
}

// As the console shows a line: control and non-ASCII bytes but the tab and the carriage return
// as \xNN.
std::string Shown(const std::string& line) {
    std::string shown;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        const auto byte = static_cast<unsigned char>(c);
        // Only the carriage return that ends the line is kept: one inside it would let the
        // station overwrite the console's line.
        const bool endingReturn = c == '\r' && i + 1 == line.size();
        if ((byte >= 0x20 && byte < 0x7F) || c == '\t' || endingReturn) {
            shown += c;
        } else {
            char escape[5];
            std::snprintf(escape, sizeof escape, "\\x%02X", byte);
            shown += escape;
        }
    }
    return shown;
}

// One line as the station protocol defines it.
struct ModelLine {
    bool data = false;
    std::string tag;
    std::vector<std::string> fields;  // after the tag
    bool text = false;                // no digit where a status code would be
    std::int32_t code = 0;
    bool ready = false;  // the station's ready notice, with or without its carriage return

    explicit ModelLine(const std::string& line) {
        ready = line == "100 Ready" || line == "100 Ready\r";
        if (!line.empty() && line[0] == '@') {
            data = true;
            std::vector<std::string> all(1);
            for (std::size_t i = 1; i < line.size(); ++i) {
                if (line[i] == ',') {
                    all.emplace_back();
                } else {
                    all.back() += line[i];
                }
            }
            tag = all[0];
            fields.assign(all.begin() + 1, all.end());
            return;
        }
        const std::string field = line.substr(0, line.find_first_of(" \t\v\f\r"));
        std::size_t first = 0;
        if (!field.empty() && (field[0] == '+' || field[0] == '-')) first = 1;
        text = first >= field.size() || field[first] < '0' || field[first] > '9';
        code = ReadNumber(field);
    }
    bool Ready() const { return ready; }
    // 2xx answers a command, and so does the station's refusal 3xx.
    bool Completes() const { return !data && code >= 200 && code <= 399; }
};

// What the tracker must make of the lines: the command under way answered by the first
// completing line after its mark (a ping out of step) or after its write, skipping one for
// every "@DSG" line no ping was owed; a ready notice after the boot is a reset.
struct TrackerModel {
    enum class Phase { Booting, Idle, AwaitingMark, AwaitingAnswer, Answered, TimedOut, Reset };
    Phase phase = Phase::Idle;
    bool ping = false;  // the command is a ping whose "@DSG" line has not come
    std::string tag;    // the data lines the command keeps
    std::vector<std::string> values;
    std::int32_t status = 0;
    int late = 0;  // completing lines announced by "@DSG" lines nobody was owed
    bool greetingOwed = false;
    bool lastStatusSeen = false;
    TimePoint lastStatusAt{};

    bool Awaiting() const { return phase == Phase::AwaitingMark || phase == Phase::AwaitingAnswer; }

    Meaning Line(const ModelLine& line, TimePoint now) {
        if (line.data) {
            if (line.tag == "DSG") {
                if (Awaiting() && ping) {
                    ping = false;
                    if (phase == Phase::AwaitingMark) {
                        phase = Phase::AwaitingAnswer;
                        late = 0;
                    }
                } else {
                    ++late;
                }
            }
            if (Awaiting() && !tag.empty() && line.tag == tag) values = line.fields;
            return Meaning::Nothing;
        }
        lastStatusSeen = true;
        lastStatusAt = now;
        if (line.Ready()) {
            late = 0;
            if (phase == Phase::Booting) {
                phase = Phase::Idle;
                return Meaning::Ready;
            }
            greetingOwed = true;
            if (Awaiting()) phase = Phase::Reset;
            return Meaning::Reset;
        }
        if (!line.Completes()) return Meaning::Nothing;
        if (late > 0) {
            --late;
            return Meaning::Nothing;
        }
        if (phase != Phase::AwaitingAnswer) return Meaning::Nothing;
        phase = Phase::Answered;
        status = line.code;
        return Meaning::Answer;
    }
};

const char* PhaseName(TrackerModel::Phase phase) {
    const char* const names[] = {"booting",  "idle",      "awaiting mark", "awaiting answer",
                                 "answered", "timed out", "reset"};
    return names[static_cast<int>(phase)];
}

bool Same(ReplyTracker::State state, TrackerModel::Phase phase, bool inStep) {
    using State = ReplyTracker::State;
    switch (phase) {
        case TrackerModel::Phase::Booting:
            return state == State::AwaitingReady;
        case TrackerModel::Phase::Idle:
            return state == (inStep ? State::InStep : State::OutOfStep);
        case TrackerModel::Phase::AwaitingMark:
            return state == State::AwaitingMark;
        case TrackerModel::Phase::AwaitingAnswer:
            return state == State::AwaitingAnswer;
        case TrackerModel::Phase::Answered:
            return state == State::Answered;
        case TrackerModel::Phase::TimedOut:
            return state == State::TimedOut;
        case TrackerModel::Phase::Reset:
            return state == State::Reset;
    }
    return false;
}

// The model's framing: a line feed ends a line, the rest of a line beyond the cap is dropped.
struct FramingModel {
    std::string line;
    std::vector<std::string> lines;  // complete ones not yet compared

    void Feed(const std::string& bytes) {
        for (const char c : bytes) {
            if (c == '\n') {
                lines.push_back(line);
                line.clear();
            } else if (line.size() < kCap) {
                line += c;
            }
        }
    }
};

// Text for a failure message, cut short.
std::string Quoted(const std::string& text) {
    return "\"" + Printable(text.substr(0, 80)) + (text.size() > 80 ? "...\"" : "\"");
}

// The status line's form, written apart: "@DSS," and 265 characters (a CR may follow), "Y" or
// "N" first, digits for the error, the supply and the counter, a letter or digit for the
// firmware and the hardware, the separators in their places.
struct ModelStatus {
    bool valid = false;
    std::string body;

    explicit ModelStatus(const std::string& line) {
        if (line.compare(0, 5, "@DSS,") != 0) return;
        body = line.substr(5);
        if (!body.empty() && body.back() == '\r') body.pop_back();
        if (body.size() != 265) return;
        const auto digit = [&](std::size_t i) { return body[i] >= '0' && body[i] <= '9'; };
        const auto alnum = [&](std::size_t i) {
            return digit(i) || (body[i] >= 'A' && body[i] <= 'Z') ||
                   (body[i] >= 'a' && body[i] <= 'z');
        };
        valid = (body[0] == 'Y' || body[0] == 'N') && digit(2) && alnum(4) && digit(8) &&
                digit(9) && digit(10) && alnum(15) && digit(17) && digit(18);
        for (const std::size_t i : {1, 3, 5, 7, 11, 14, 16, 19})
            valid = valid && body[i] == ',';
        for (const std::size_t i : {31, 47, 112})
            valid = valid && body[i] == ';';
    }

    void Check(const std::string& line) const {
        const std::optional<StationStatus> status = StationStatus::Parse(line);
        FUZZ_CHECK(status.has_value() == valid, "status form of " + Quoted(line));
        if (!status) return;
        FUZZ_CHECK(status->TrackOn() == (body[0] == 'Y') && status->Error() == body[2] - '0' &&
                       status->Firmware() == body[4] &&
                       status->SupplyTenths() == std::stoi(body.substr(8, 3)) &&
                       status->Hardware() == body[15] &&
                       status->Counter() == std::stoi(body.substr(17, 2)),
                   "status fields of " + Quoted(line));
    }
};

// The command under way in the model and the tracker, and what finishing it must give.
class Session {
public:
    Session(ReplyTracker& tracker, TrackerModel& model) : tracker_(tracker), model_(model) {}

    void Begin(const std::string& command, TimePoint deadline, std::int32_t cv) {
        command_ = command;
        cv_ = cv;
        deadline_ = deadline;
        const bool ping = command == "setPing()";
        tracker_.Begin(command, deadline);
        model_.phase = ping && !inStep_ ? TrackerModel::Phase::AwaitingMark
                                        : TrackerModel::Phase::AwaitingAnswer;
        model_.ping = ping;
        model_.tag = command.rfind("getLocoConfig(", 0) == 0 ? "CV" : "";
        model_.values.clear();
        model_.greetingOwed = false;
        underWay_ = true;
    }
    TimePoint Deadline() const { return underWay_ ? deadline_ : TimePoint::max(); }
    bool UnderWay() const { return underWay_; }
    // The answer's data values as they stood when it came.
    void Answered() { valuesAtAnswer_ = model_.values; }
    const std::vector<std::string>& ValuesAtAnswer() const { return valuesAtAnswer_; }

    // Finishes the command under way (or nothing) and checks what the tracker hands over and
    // books: an answer ends the run of time-outs and puts the link in step; a time-out adds to
    // the run; a reset or an exchange left unsettled leaves the link out of step.
    void Finish() {
        const ReplyTracker::Result result = tracker_.Finish();
        Ending ending = Ending::Unfinished;
        if (model_.phase == TrackerModel::Phase::Answered) ending = Ending::Answered;
        if (model_.phase == TrackerModel::Phase::TimedOut) ending = Ending::TimedOut;
        if (model_.phase == TrackerModel::Phase::Reset) ending = Ending::Reset;
        const std::string what = command_ + " ended " + PhaseName(model_.phase);
        FUZZ_CHECK(result.ending == ending, what);
        if (ending == Ending::Answered) {
            FUZZ_CHECK(result.status == model_.status && result.values == valuesAtAnswer_, what);
            const CommandOutcome outcome = model_.status == 200   ? CommandOutcome::Done
                                           : model_.status == 301 ? CommandOutcome::Unknown
                                                                  : CommandOutcome::Refused;
            FUZZ_CHECK(result.Outcome() == outcome, "outcome: " + what);
        } else {
            FUZZ_CHECK(result.Outcome() == CommandOutcome::Unknown, "outcome: " + what);
        }
        if (underWay_ && command_.rfind("getLocoConfig(", 0) == 0) CheckCv(result, what);
        if (underWay_) {
            inStep_ = ending == Ending::Answered;
            timeouts_ = inStep_ ? 0 : timeouts_ + (ending == Ending::TimedOut ? 1 : 0);
            if (model_.phase != TrackerModel::Phase::Booting)
                model_.phase = TrackerModel::Phase::Idle;
        }
        underWay_ = false;
        FUZZ_CHECK(tracker_.ResyncNeeded() == !inStep_, "in step after " + what);
        FUZZ_CHECK(tracker_.Lost() == (timeouts_ >= ReplyTracker::kTimeoutsForLoss),
                   "loss after " + what);
    }
    bool InStep() const { return inStep_; }

private:
    void CheckCv(const ReplyTracker::Result& result, const std::string& what) {
        std::int32_t value = kUntouched;
        CommandOutcome expected = result.Outcome();
        std::int32_t expectedValue = kUntouched;
        if (expected == CommandOutcome::Done) {
            expected = CommandOutcome::Unknown;
            if (valuesAtAnswer_.size() == 4 && ReadNumber(valuesAtAnswer_[1]) == cv_) {
                expectedValue = ReadNumber(valuesAtAnswer_[2]);
                expected = expectedValue == 65535 ? CommandOutcome::Refused : CommandOutcome::Done;
            }
        }
        FUZZ_CHECK(result.CvValue(cv_, value) == expected, "CV read outcome: " + what);
        FUZZ_CHECK(value == expectedValue, "CV read value " + std::to_string(value) +
                                               ", expected " + std::to_string(expectedValue));
    }

    ReplyTracker& tracker_;
    TrackerModel& model_;
    std::string command_;
    std::int32_t cv_ = 0;
    TimePoint deadline_{};
    bool underWay_ = false;
    bool inStep_ = true;
    int timeouts_ = 0;
    std::vector<std::string> valuesAtAnswer_;
};

void Run(std::uint8_t mode, FuzzInput& input, const std::string& stream) {
    const bool underWay = (mode & 1) != 0;
    const bool cvRead = underWay && (mode & 2) != 0;
    const bool booting = !underWay && (mode & 4) != 0;
    const bool followUp = underWay && (mode & 4) != 0;
    const bool outOfStep = underWay && (mode & 0x80) != 0;
    const std::int32_t cv = cvRead ? input.Control(8) : 0;
    const std::string command =
        cvRead ? "getLocoConfig(49152," + std::to_string(cv) + ")" : kCommands[(mode >> 4) & 3];

    TimePoint now = TimePoint{} + 1h;
    ReplyTracker tracker;
    TrackerModel model;
    Session session(tracker, model);
    if (booting) {
        tracker.ExpectBoot();
        model.phase = TrackerModel::Phase::Booting;
    }
    if (outOfStep) {
        session.Begin("setPower(1)", now + kTimeout, 0);
        now += kTimeout;
        tracker.Expire(now);
        model.phase = TrackerModel::Phase::TimedOut;
        session.Finish();
        FUZZ_CHECK(!session.InStep(), "an unanswered command puts the link out of step");
    }
    if (underWay) session.Begin(command, now + kTimeout, cv);

    Console& console = TheConsole();
    console = Console{};
    NDSDCC::Impl link(&RecordLog);  // never opened: it only echoes
    StationLineFramer framer;
    FramingModel framing;
    std::size_t echoed = 0;
    for (std::size_t offset = 0; offset < stream.size();) {
        const std::uint8_t size = input.Control(0);
        const std::size_t n = size == 0 ? stream.size() - offset
                                        : std::min<std::size_t>(size, stream.size() - offset);
        const std::string chunk = stream.substr(offset, n);
        offset += n;
        now += size * 10ms;
        const std::vector<std::uint8_t> bytes(chunk.begin(), chunk.end());

        link.OnSerialData(bytes);
        framing.Feed(chunk);
        framer.Feed(bytes.data(), bytes.size());
        std::size_t index = 0;
        while (const std::string* text = framer.Next()) {
            FUZZ_CHECK(index < framing.lines.size(), "a line handed out before its line feed");
            const std::string& expected = framing.lines[index++];
            FUZZ_CHECK(*text == expected, "framed " + Quoted(*text) + " for " + Quoted(expected));
            // The unconnected link echoes every line as the console shows it, and nothing else.
            FUZZ_CHECK(console.received.size() >= echoed + index &&
                           console.received[echoed + index - 1] == Shown(expected),
                       "the link did not echo " + Quoted(expected) + " as shown");

            ModelStatus(*text).Check(*text);
            const StationLine line(*text);
            const ModelLine want(*text);
            const auto kind = want.data   ? StationLine::Kind::Data
                              : want.text ? StationLine::Kind::Text
                                          : StationLine::Kind::Status;
            FUZZ_CHECK(line.kind() == kind, "kind of " + Quoted(*text));
            FUZZ_CHECK(line.Code() == want.code,
                       "code " + std::to_string(line.Code()) + " for " + Quoted(*text));
            FUZZ_CHECK(line.Tag() == want.tag && line.Fields() == want.fields,
                       "data fields of " + Quoted(*text));
            FUZZ_CHECK(line.IsReadyNotice() == want.Ready() && line.Completes() == want.Completes(),
                       "status class of " + Quoted(*text));

            const ReplyTracker::State before = tracker.Current();
            const ReplyTracker::Heard heard = tracker.OnLine(line, now);
            const Meaning meaning = model.Line(want, now);
            FUZZ_CHECK(heard.meaning == meaning,
                       "meaning of " + Quoted(*text) + " in " + PhaseName(model.phase));
            if (meaning == Meaning::Answer) {
                session.Answered();
                FUZZ_CHECK(heard.status == model.status && heard.values == session.ValuesAtAnswer(),
                           "the answer handed over");
                FUZZ_CHECK(before != ReplyTracker::State::Answered, "answered twice");
            }
            FUZZ_CHECK(
                Same(tracker.Current(), model.phase, session.InStep()),
                std::string("tracker not ") + PhaseName(model.phase) + " after " + Quoted(*text));
        }
        FUZZ_CHECK(index == framing.lines.size(), "a complete line not handed out");
        framing.lines.clear();
        FUZZ_CHECK(console.received.size() == echoed + index, "lines echoed");
        echoed = console.received.size();
        FUZZ_CHECK(console.other.empty(),
                   "unexpected console line " + (console.other.empty() ? "" : console.other[0]));

        tracker.Expire(now);
        if (model.Awaiting() && now >= session.Deadline()) {
            model.phase = TrackerModel::Phase::TimedOut;
        }
        FUZZ_CHECK(Same(tracker.Current(), model.phase, session.InStep()),
                   std::string("tracker not ") + PhaseName(model.phase) + " after the chunk");
        const bool settled = model.phase == TrackerModel::Phase::Answered ||
                             model.phase == TrackerModel::Phase::TimedOut ||
                             model.phase == TrackerModel::Phase::Reset;
        FUZZ_CHECK(tracker.Settled() == settled, "settled");
        FUZZ_CHECK(
            tracker.NextDeadline() == (model.Awaiting() ? session.Deadline() : TimePoint::max()),
            "deadline");
        FUZZ_CHECK(
            tracker.ReadyAt() == (model.lastStatusSeen ? model.lastStatusAt + ReplyTracker::kPacing
                                                       : TimePoint::min()),
            "pacing time");
        FUZZ_CHECK(tracker.GreetingOwed() == model.greetingOwed, "greeting owed");

        // The next command goes out once the first has settled, after a ping when the first
        // went unanswered, as the link sends them: late answers announced before must not
        // answer it.
        if (followUp && settled && session.UnderWay()) {
            session.Finish();
            session.Begin(session.InStep() ? "setPower(0)" : "setPing()", now + kTimeout, 0);
        }
    }
    session.Finish();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    const std::string head = input.Take(1);
    if (head.empty()) return 0;
    const auto mode = static_cast<std::uint8_t>(head[0]);

    std::string stream;
    if ((mode & 0x48) == 0x48) {
        stream = (mode & 16) ? "@CV,1," : "";
        stream.append(kCap + 100, '7');
    }
    stream += input.Take(input.PayloadLeft());
    Run(mode, input, stream);
    return 0;
}
