#include "protocol/ProcessMessage.hpp"

#include "base/ConsoleLog.hpp"
#include "protocol/CvService.hpp"
#include "protocol/IStation.hpp"
#include "protocol/PacketDecoder.hpp"
#include "protocol/StationScheduler.hpp"
#include "protocol/TrackPower.hpp"
#include "station/CommandOutcome.hpp"

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>
#include <variant>

namespace {

using Clock = StationScheduler::Clock;

// Track power, "D" and "X" are answered once the station has carried them out, but their
// replies do not depend on its answer: they leave within the application's 2 s whatever the
// station does.
constexpr std::chrono::milliseconds kReplyWindow{1800};
// Programming replies are the station's own; applications wait much longer for them: within
// 60 s. A CV operation that has begun takes at most a resynchronising ping and its own wait
// (15 s each) and the station's pauses; one that cannot begin in time is not carried out.
constexpr std::chrono::seconds kProgrammingBegins{60 - 31};
// Track power commands the station may not have received are written again until it answers
// them or is found lost (two unanswered in a row); a station that cannot read any line (each
// one answered "301 Stx err") is given up on after this many.
constexpr int kPowerAttempts = 10;

struct Context {
    StationScheduler& scheduler;
    Clock::time_point received;  // the epoch: now, read only by the messages that wait

    Clock::time_point Received() const {
        return received == Clock::time_point{} ? Clock::now() : received;
    }
};

// Carries out a message whose row has been found; may replace the row's reply.
using Action = void (*)(const std::string& message, std::string& reply, Context& context);

using Order = StationScheduler::Order;

// Work that stays in order with the locomotive commands before it.
void InOrder(Context& context, StationScheduler::Job job, Order order = Order::InLine) {
    context.scheduler.RunBarrier(std::move(job), order, context.Received() + kReplyWindow);
}

// Sends a track power command until the station answers it or is gone: a lost "K" would leave
// the trains running.
template <typename Command>
void UntilAnswered(Command command, const char* what) {
    for (int attempt = 0; attempt < kPowerAttempts; ++attempt) {
        if (command() != CommandOutcome::Unknown) return;
    }
    ConsoleLog("The DSAir2 could not read %s in %d attempts; the track may not be %s.\n", what,
               kPowerAttempts, std::strcmp(what, "setPower(1)") == 0 ? "on" : "off");
}

// Withdrawn if track power off overtakes it: the emergency stop is the operator's last word.
void PowerOn(const std::string&, std::string&, Context& context) {
    InOrder(
        context,
        [](IStation& station, TrackPower& power) {
            UntilAnswered([&station] { return station.PowerOn(); }, "setPower(1)");
            power.Requested(true);
        },
        Order::PowerOn);
}

// The operator's emergency stop: before every locomotive command not yet written.
void PowerOff(const std::string&, std::string&, Context& context) {
    InOrder(
        context,
        [](IStation& station, TrackPower& power) {
            UntilAnswered([&station] { return station.PowerOff(); }, "setPower(0)");
            power.Requested(false);
        },
        Order::Urgent);
}

// Leaving programming: the station ended its CV operations with the track off, while the
// application expects the track as it left it.
void LeaveProgramming(const std::string&, std::string&, Context& context) {
    InOrder(context, [](IStation& station, TrackPower& power) {
        if (!power.OffByProgramming()) return;
        if (station.PowerOn() == CommandOutcome::Done) {
            power.Restored();
            ConsoleLog("Track power switched back on after programming.\n");
        }
    });
}

// A programming message: the reply is what the station reported, or "--" when the operation
// could not be carried out in time (then it never is).
void Program(Context& context, std::string& reply,
             std::function<std::string(CvService& service, const std::string& message)> operation,
             const std::string& message) {
    auto answer = std::make_shared<std::string>();
    const bool ran = context.scheduler.RunBarrier(
        [answer, operation, message](IStation& station, TrackPower& power) {
            CvService service(station, power);
            *answer = operation(service, message);
        },
        Order::Programming, context.Received() + kProgrammingBegins);
    reply = ran ? *answer : "--";
}

// Hands what a packet asks for to the scheduler.
void Hand(const PacketWish& wish, StationScheduler& scheduler) {
    std::visit(
        [&scheduler](const auto& asked) {
            using Asked = std::decay_t<decltype(asked)>;
            if constexpr (std::is_same_v<Asked, SpeedWish>) {
                scheduler.SetSpeed(asked);
            } else if constexpr (std::is_same_v<Asked, FunctionWish>) {
                scheduler.SetFunctions(asked);
            } else if constexpr (std::is_same_v<Asked, TurnoutWish>) {
                scheduler.ThrowTurnout(asked);
            } else if constexpr (std::is_same_v<Asked, OpsModeWrite>) {
                // The protocol has no way to refuse a packet, so the console says it.
                ConsoleLog(
                    "The DSAir2 cannot program on the main: CV %d of locomotive %d ignored.\n",
                    asked.cv, static_cast<int>(asked.key));
            }
        },
        wish);
}

void QueuePacket(const std::string& message, std::string&, Context& context) {
    Hand(PacketDecoder::QueuePacket(message), context.scheduler);
}

// "Sn vv" writes a register; every other "S" is a packet.
void SendPacket(const std::string& message, std::string& reply, Context& context) {
    if (CvService::IsRegisterWrite(message)) {
        Program(context, reply, &CvService::WriteRegister, message);
        return;
    }
    Hand(PacketDecoder::SendPacket(message), context.scheduler);
}

// "Vn" reads a register; every other "V" asks for the version, which is "---".
void Version(const std::string& message, std::string& reply, Context& context) {
    if (CvService::IsRegisterRead(message))
        Program(context, reply, &CvService::ReadRegister, message);
}

void Dequeue(const std::string& message, std::string&, Context& context) {
    std::int32_t key = 0;
    if (PacketDecoder::DequeueKey(message, key)) {
        context.scheduler.Forget(key, context.Received() + kReplyWindow);
    }
}

// A "P" of the wrong length writes nothing and keeps its "P".
void WriteCv(const std::string& message, std::string& reply, Context& context) {
    if (message.size() == 8) Program(context, reply, &CvService::Write, message);
}

void ReadCv(const std::string& message, std::string& reply, Context& context) {
    if (message.size() == 5) Program(context, reply, &CvService::Read, message);
}

// An empty consist: "G", the consist number, "0000". Applications send the five-character
// "GD 01", whose number stands at 3-4; a longer message has it at 4-5. Anything shorter keeps
// the row's "O", which the application takes as the end of the consist list.
void Consist(const std::string& message, std::string& reply, Context&) {
    if (message.size() < 5 || message[1] != 'D') return;
    const std::size_t at = message.size() == 5 ? 3 : 4;
    reply = "G";
    reply.append(message, at, 2);
    reply += "0000";
}

// "L", the four characters at 2-5, "000000"; a message too short for them keeps the row's "O".
void ReadLoco(const std::string& message, std::string& reply, Context&) {
    if (message.size() < 6) return;
    reply = "L";
    reply.append(message, 2, 4);
    reply += "000000";
}

struct Row {
    char letter;
    const char* reply;
    Action action;  // null: the reply is all there is to it
};

constexpr Row kLetters[] = {
    {'C', "O", nullptr},      {'D', "O", &Dequeue},          {'E', "O", &PowerOn},
    {'F', "O", nullptr},      {'G', "O", &Consist},          {'K', "O", &PowerOff},
    {'L', "O", &ReadLoco},    {'M', "P", nullptr},           {'P', "P", &WriteCv},
    {'Q', "O", &QueuePacket}, {'R', "--", &ReadCv},          {'S', "O", &SendPacket},
    {'V', "---", &Version},   {'X', "O", &LeaveProgramming},
};

constexpr const char* kUnknownReply = "?";

const Row* FindRow(const std::string& message) {
    if (message.empty()) return nullptr;
    for (const Row& row : kLetters) {
        if (row.letter == message[0]) return &row;
    }
    return nullptr;
}

}  // namespace

bool ProcessMessage(std::string message, std::string& reply, StationScheduler& scheduler) {
    // The clock is read only for a message that waits: most are answered at once.
    return ProcessMessage(std::move(message), reply, scheduler, Clock::time_point{});
}

bool ProcessMessage(std::string message, std::string& reply, StationScheduler& scheduler,
                    Clock::time_point received) {
    ConsoleLog("[E Recv] %s\n", ShownText(message).c_str());
    const Row* row = FindRow(message);
    if (row == nullptr) {
        reply = kUnknownReply;
        return true;
    }
    reply = row->reply;
    if (row->action != nullptr) {
        Context context{scheduler, received};
        row->action(message, reply, context);
    }
    return true;
}

bool AnsweredAtOnce(const std::string& message) {
    const Row* row = FindRow(message);
    if (row == nullptr || row->action == nullptr) return true;
    switch (row->letter) {
        case 'G':
        case 'L':
        case 'Q':
            return true;
        case 'S':
            return !CvService::IsRegisterWrite(message);
        case 'V':
            return !CvService::IsRegisterRead(message);
        default:
            return false;
    }
}
