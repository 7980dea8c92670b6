// Client bytes through the handler's framing into ProcessMessage, with the tests' recording
// station answering from the fuzz input. Checked: the framing, each message's reply (which
// depends on the station only for CV and register reads and writes), the track power and
// programming commands each message causes (power commands sent again while their outcome is
// unknown, "X" switching the track on only after programming switched it off), locomotive and
// turnout commands only for addresses the client named and within the station's ranges, and a
// packet the station took, sent again at once, causing nothing but a stop or a turnout (also
// after a "D", which forgets the application's wishes, not what the station holds).
//
// Input: see FuzzInput. The payload is what the client sends. Control bytes, in the order they
// are needed: the size of each read (0: up to a full read, 0xFF: a full read of 'F' without a
// carriage return, else that many bytes); before a CV or register read, the value the station
// reports (an index into kCvValues, else the byte itself); each station command's outcome (bits
// 0-1: Done, Refused, Unknown, NotSent). Without control bytes left: full reads, value 3, Done.

#include "base/ConsoleLog.hpp"
#include "fuzz/FuzzCheck.hpp"
#include "fuzz/FuzzInput.hpp"
#include "protocol/ClientMessages.hpp"
#include "protocol/HexFields.hpp"
#include "protocol/ProcessMessage.hpp"
#include "protocol/StationScheduler.hpp"
#include "protocol/TrackPower.hpp"
#include "tests/support/RecordingStation.hpp"

#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kMaxRead = 10000;  // the server's receive buffer
constexpr std::int32_t kLocoBase = 49152;
constexpr std::int32_t kAccessoryBase = 0x3800;
constexpr std::int32_t kMaxLocoAddress = 10239;
constexpr std::int32_t kMaxStationSpeed = 1023;
constexpr std::int32_t kMaxFunction = 28;
constexpr std::int32_t kTurnoutOutputs = 2044;
constexpr int kPowerAttempts = 10;
constexpr std::size_t kListSize = 20;

// CV values worth a station's answer: the ordinary ones, the bounds of the two-digit reply,
// the failure value and the extremes.
constexpr std::int32_t kCvValues[] = {3, 0, 0xFF, 0x100, -1, 65535, INT_MAX, INT_MIN};

struct Exchange {
    std::string message;
    std::string reply;
};

// One station command and the outcome it was given.
struct Answered {
    std::string call;
    CommandOutcome outcome;
};

const char* Name(CommandOutcome outcome) {
    switch (outcome) {
        case CommandOutcome::Done:
            return "done";
        case CommandOutcome::Refused:
            return "refused";
        case CommandOutcome::Unknown:
            return "unknown";
        case CommandOutcome::NotSent:
            return "not sent";
    }
    return "?";
}

// What the client has sent, cut the way the handler promises: a message ends at every carriage
// return, a line feed right after a carriage return belongs to neither message, and text that
// grows beyond the bound without a carriage return ends the connection.
class ClientStream {
public:
    std::vector<std::string> Append(const std::string& chunk) {
        std::vector<std::string> messages;
        for (char c : chunk) {
            const bool lineFeedAfterReturn = afterReturn_ && c == '\n';
            afterReturn_ = false;
            if (lineFeedAfterReturn) continue;
            if (c == '\r') {
                messages.push_back(pending_);
                pending_.clear();
                afterReturn_ = true;
            } else if (pending_.size() == ClientMessages::kMaxClientText) {
                overlong_ = true;
                break;
            } else {
                pending_ += c;
            }
        }
        return messages;
    }
    bool Overlong() const { return overlong_; }

private:
    std::string pending_;
    bool afterReturn_ = false;
    bool overlong_ = false;
};

std::uint8_t Hex2(const std::string& message, std::size_t at) {
    return static_cast<std::uint8_t>(ParseHex2(message.data() + at) & 0xFF);
}

// The width characters at at read as a hex number when every one is a hex digit, else -1.
std::int32_t HexDigits(const std::string& message, std::size_t at, std::size_t width) {
    for (std::size_t i = at; i < at + width; ++i) {
        if (!std::isxdigit(static_cast<unsigned char>(message[i]))) return -1;
    }
    return static_cast<std::int32_t>(std::strtol(message.substr(at, width).c_str(), nullptr, 16));
}

bool IsRegisterDigit(char c) {
    return c >= '1' && c <= '8';
}

// Registers 1-4 are CVs 1-4, 5 is CV 29, 7 and 8 CVs 7 and 8; 6 has none.
std::int32_t RegisterCv(char digit) {
    return digit == '5' ? 29 : digit == '6' ? 0 : digit - '0';
}

bool IsRegisterWrite(const std::string& message) {
    return message.size() == 5 && message[0] == 'S' && IsRegisterDigit(message[1]) &&
           message[2] == ' ' && std::isxdigit(static_cast<unsigned char>(message[3])) &&
           std::isxdigit(static_cast<unsigned char>(message[4]));
}

bool IsPacket(const std::string& message) {
    return !message.empty() && (message[0] == 'Q' || message[0] == 'S') &&
           !IsRegisterWrite(message);
}

// The CV a message reads from the station, or -1 when it reads none.
std::int32_t ReadCv(const std::string& message) {
    // Only three hex digits: a service-mode read reaches every decoder on the track.
    if (message.size() == 5 && message[0] == 'R') return HexDigits(message, 2, 3);
    if (message.size() == 2 && message[0] == 'V' && IsRegisterDigit(message[1]) &&
        message[1] != '6') {
        return RegisterCv(message[1]);
    }
    return -1;
}

// The address keys a packet message may name: its first packet byte as a short address and its
// first two as a long one.
std::vector<std::int32_t> NamedKeys(const std::string& message) {
    std::vector<std::uint8_t> bytes;
    if (message[0] == 'Q') {
        for (std::size_t at = 2; at + 2 <= message.size() && bytes.size() < 2; at += 3) {
            bytes.push_back(Hex2(message, at));
        }
    } else if (message.size() >= 2) {
        std::deque<std::uint8_t> packet = ParseHexBytes(message.substr(2));
        for (std::size_t i = 1; i < packet.size() && bytes.size() < 2; ++i) {
            bytes.push_back(packet[i]);  // packet[0] is the repeat count
        }
    }
    std::vector<std::int32_t> keys;
    if (!bytes.empty()) keys.push_back(bytes[0]);
    if (bytes.size() == 2) keys.push_back((bytes[0] & 0x3F) * 256 + bytes[1]);
    return keys;
}

bool StartsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

bool IsPower(const std::string& call) {
    return StartsWith(call, "setPower(");
}
bool IsProgramming(const std::string& call) {
    return StartsWith(call, "setLocoConfig(") || StartsWith(call, "getLocoConfig(");
}
bool IsScheduled(const std::string& call) {
    return StartsWith(call, "setLocoSpeed(") || StartsWith(call, "setLocoDirection(") ||
           StartsWith(call, "setLocoFunction(") || StartsWith(call, "setTurnout(");
}

std::string Describe(const std::string& message, const std::string& reply,
                     const std::vector<Answered>& calls) {
    std::string text = "message \"" + Printable(message) + "\" reply \"" + Printable(reply) + "\"";
    for (const Answered& a : calls)
        text += " " + a.call + "->" + Name(a.outcome);
    return text;
}

// A locomotive or turnout command the scheduler wrote: within the station's ranges and for an
// address the client named.
void CheckScheduled(const std::string& call, const std::set<std::int32_t>& named,
                    const std::string& what) {
    int address = 0;
    int a = 0;
    int b = 0;
    char end = 0;
    std::int32_t loco = -1;
    if (std::sscanf(call.c_str(), "setLocoSpeed(%d,%d,%d%c", &address, &a, &b, &end) == 4) {
        FUZZ_CHECK(end == ')' && a >= 0 && a <= kMaxStationSpeed && (b == 0 || b == 2),
                   "speed or speed-step mode: " + what);
        loco = address - kLocoBase;
    } else if (std::sscanf(call.c_str(), "setLocoDirection(%d,%d%c", &address, &a, &end) == 3) {
        FUZZ_CHECK(end == ')' && (a == 1 || a == 2), "direction: " + what);
        loco = address - kLocoBase;
    } else if (std::sscanf(call.c_str(), "setLocoFunction(%d,%d,%d%c", &address, &a, &b, &end) ==
               4) {
        FUZZ_CHECK(end == ')' && a >= 0 && a <= kMaxFunction && (b == 0 || b == 1),
                   "function: " + what);
        loco = address - kLocoBase;
    } else if (std::sscanf(call.c_str(), "setTurnout(%d,%d%c", &address, &a, &end) == 3) {
        const std::int32_t output = address - kAccessoryBase;
        FUZZ_CHECK(end == ')' && output >= 0 && output < kTurnoutOutputs && (a == 0 || a == 1),
                   "turnout output: " + what);
        return;
    } else {
        FUZZ_CHECK(false, "unknown command " + call + ": " + what);
    }
    FUZZ_CHECK(loco >= 1 && loco <= kMaxLocoAddress, "address range: " + what);
    FUZZ_CHECK(named.count(loco) != 0, "an address the client never named: " + what);
}

// The track power the application asked for, and whether programming switched it off since.
struct PowerModel {
    bool requestedOn = false;
    bool offByProgramming = false;
};

// Track power commands are sent until the station answers them or is gone, at most ten times;
// the first one with another outcome than Unknown is the last.
void CheckPowerAttempts(const std::vector<Answered>& power, const char* call,
                        const std::string& what) {
    FUZZ_CHECK(!power.empty() && power.size() <= kPowerAttempts, "power attempts: " + what);
    for (std::size_t i = 0; i < power.size(); ++i) {
        FUZZ_CHECK(power[i].call == call, "power command: " + what);
        const bool last = i + 1 == power.size();
        const bool unknown = power[i].outcome == CommandOutcome::Unknown;
        FUZZ_CHECK(last ? (!unknown || power.size() == kPowerAttempts) : unknown,
                   "power command sent again: " + what);
    }
}

// The reply and the commands of one message that reads CV cv (-1: none), which the station
// reports as cvValue. Locomotive and turnout commands may follow any message (what the scheduler
// still had to write); the others belong to the letter's row.
void CheckMessage(const std::string& message, const std::string& reply,
                  const std::vector<Answered>& calls, std::int32_t cv, std::int32_t cvValue,
                  PowerModel& power, const std::set<std::int32_t>& named) {
    const std::string what = Describe(message, reply, calls);
    FUZZ_CHECK(message.find('\r') == std::string::npos, "carriage return inside: " + what);
    FUZZ_CHECK(!reply.empty(), "empty reply: " + what);

    std::vector<Answered> own;  // power and programming commands
    for (const Answered& a : calls) {
        if (IsScheduled(a.call)) {
            CheckScheduled(a.call, named, what);
        } else {
            FUZZ_CHECK(IsPower(a.call) || IsProgramming(a.call), "unexpected command: " + what);
            own.push_back(a);
        }
    }
    const auto none = [&] { FUZZ_CHECK(own.empty(), "station commands: " + what); };
    // One programming command, exactly call; the track is off after it.
    const auto programmed = [&](const std::string& call) {
        FUZZ_CHECK(own.size() == 1 && own[0].call == call, "programming command: " + what);
        power.offByProgramming = power.requestedOn;
        return own[0].outcome == CommandOutcome::Done;
    };

    const char letter = message.empty() ? '\0' : message[0];
    switch (letter) {
        case 'C':
        case 'F':
            FUZZ_CHECK(reply == "O", what);
            none();
            break;
        case 'E':
            FUZZ_CHECK(reply == "O", what);
            CheckPowerAttempts(own, "setPower(1)", what);
            power = {true, false};
            break;
        case 'K':
            FUZZ_CHECK(reply == "O", what);
            CheckPowerAttempts(own, "setPower(0)", what);
            power = {false, false};
            break;
        case 'X':
            // Leaving programming switches the track back on only when programming switched
            // off a track the application had on.
            FUZZ_CHECK(reply == "O", what);
            if (power.offByProgramming) {
                FUZZ_CHECK(own.size() == 1 && own[0].call == "setPower(1)", what);
                power.offByProgramming = own[0].outcome != CommandOutcome::Done;
            } else {
                none();
            }
            break;
        case 'M':
            FUZZ_CHECK(reply == "P", what);
            none();
            break;
        case 'V':
            if (message == "V6") {
                FUZZ_CHECK(reply == "--", what);
                none();
            } else if (cv >= 0) {
                const bool done = programmed("getLocoConfig(49152," + std::to_string(cv) + ")");
                std::string expected = "--";
                if (done && cvValue >= 0 && cvValue <= 0xFF) {
                    char text[8];
                    std::snprintf(text, sizeof text, "V%c%02X\rP", message[1],
                                  static_cast<unsigned>(cvValue));
                    expected = text;
                }
                FUZZ_CHECK(reply == expected, what);
            } else {
                FUZZ_CHECK(reply == "---", what);
                none();
            }
            break;
        case 'G': {
            std::string expected = "O";
            if (message.size() >= 5 && message[1] == 'D') {
                // "GD 01" has its number at 3-4, the longer form at 4-5.
                expected = "G" + message.substr(message.size() == 5 ? 3 : 4, 2) + "0000";
            }
            FUZZ_CHECK(reply == expected, what);
            none();
            break;
        }
        case 'L':
            FUZZ_CHECK(reply == (message.size() >= 6 ? "L" + message.substr(2, 4) + "000000" : "O"),
                       what);
            none();
            break;
        case 'P':
            if (message.size() == 8) {
                // Hex digits only, and a CV a decoder has: 1-1024.
                const std::int32_t cvNumber = HexDigits(message, 2, 3);
                const std::int32_t value = HexDigits(message, 6, 2);
                if (cvNumber < 1 || cvNumber > 1024 || value < 0) {
                    FUZZ_CHECK(reply == "--", "malformed CV write: " + what);
                    none();
                    break;
                }
                const bool done = programmed("setLocoConfig(49152," + std::to_string(cvNumber) +
                                             "," + std::to_string(value) + ")");
                FUZZ_CHECK(reply == (done ? "P" : "--"), "CV write reply: " + what);
            } else {
                FUZZ_CHECK(reply == "P", what);
                none();
            }
            break;
        case 'R': {
            std::string expected = "--";
            if (cv >= 0) {
                const bool done = programmed("getLocoConfig(49152," + std::to_string(cv) + ")");
                if (done && cvValue >= 0 && cvValue <= 0xFF) {
                    char text[16];
                    std::snprintf(text, sizeof text, "CV%03X%02X\rP", static_cast<unsigned>(cv),
                                  static_cast<unsigned>(cvValue));
                    expected = text;
                }
            } else {
                none();
            }
            FUZZ_CHECK(reply == expected, what);
            break;
        }
        case 'S':
            if (IsRegisterWrite(message)) {
                if (message[1] == '6') {
                    FUZZ_CHECK(reply == "--", what);
                    none();
                    break;
                }
                const bool done =
                    programmed("setLocoConfig(49152," + std::to_string(RegisterCv(message[1])) +
                               "," + std::to_string(ParseHex2(message.data() + 3)) + ")");
                FUZZ_CHECK(reply == (done ? "O" : "--"), "register write: " + what);
                break;
            }
            FUZZ_CHECK(reply == "O", what);
            none();
            break;
        case 'D':
        case 'Q':
            FUZZ_CHECK(reply == "O", what);
            none();
            break;
        default:
            FUZZ_CHECK(reply == "?", what);
            none();
            break;
    }
    if (reply.find('\r') != std::string::npos) {
        FUZZ_CHECK((letter == 'R' && reply.size() == 9 && reply.find('\r') == 7) ||
                       (letter == 'V' && reply.size() == 6 && reply.find('\r') == 4),
                   "carriage return in a reply: " + what);
    }
}

// The client protocol with its scheduler run by hand on the recording station, which answers
// from the fuzz input.
class Protocol {
public:
    explicit Protocol(FuzzInput& input) : input_(input) {
        station_.SetAnswer([this](const std::string& call) {
            CommandOutcome outcome = CommandOutcome::Done;
            if (!repeating_) {
                static constexpr CommandOutcome kOutcomes[] = {
                    CommandOutcome::Done, CommandOutcome::Refused, CommandOutcome::Unknown,
                    CommandOutcome::NotSent};
                outcome = kOutcomes[input_.Control(0) & 3];
            }
            answered_.push_back({call, outcome});
            return outcome;
        });
    }

    // One framed message: carried out and checked; a packet is then sent again while the
    // station's state is exactly known.
    bool Process(const std::string& message, std::string& reply) {
        std::int32_t cvValue = -1;
        const std::int32_t cv = ReadCv(message);
        if (cv >= 0) {
            const std::uint8_t c = input_.Control(0);
            cvValue = c < sizeof kCvValues / sizeof kCvValues[0] ? kCvValues[c] : c;
            station_.SetCv(cv, cvValue);
        }
        if (IsPacket(message)) {
            for (std::int32_t key : NamedKeys(message))
                named_.insert(key);
        }
        const std::vector<Answered> calls = Carry(message, reply);
        CheckMessage(message, reply, calls, cv, cvValue, power_, named_);
        for (const Answered& a : calls) {
            allDone_ = allDone_ && a.outcome == CommandOutcome::Done;
            if (StartsWith(a.call, "setTurnout(")) ++turnouts_;
        }

        const bool dequeue = !message.empty() && message[0] == 'D';
        if (IsPacket(message)) CheckRepeat(message);
        if (dequeue && !lastPacket_.empty() && lastPacket_[0] == 'Q') CheckRepeat(lastPacket_);
        lastPacket_ = IsPacket(message) ? message : "";
        return true;
    }

private:
    std::vector<Answered> Carry(const std::string& message, std::string& reply) {
        answered_.clear();
        FUZZ_CHECK(ProcessMessage(message, reply, scheduler_),
                   "ProcessMessage failed: " + Printable(message));
        scheduler_.RunPending();
        answeredTotal_ += answered_.size();
        FUZZ_CHECK(station_.Calls().size() == answeredTotal_,
                   "commands not answered through the answer function: " + Printable(message));
        return answered_;
    }

    // While every command so far was carried out and the station's list cannot have filled
    // (nothing waits for a place), a packet sent again causes nothing but a stop or a turnout.
    void CheckRepeat(const std::string& message) {
        if (!allDone_ || named_.size() + turnouts_ + 1 >= kListSize) return;
        repeating_ = true;
        std::string reply;
        const std::vector<Answered> calls = Carry(message, reply);
        repeating_ = false;
        for (const Answered& a : calls) {
            int address = 0;
            int speed = -1;
            const bool stop =
                std::sscanf(a.call.c_str(), "setLocoSpeed(%d,%d,", &address, &speed) == 2 &&
                speed == 0;
            FUZZ_CHECK(stop || StartsWith(a.call, "setTurnout("),
                       "packet sent again caused " + a.call + ": " + Describe(message, reply, {}));
            if (StartsWith(a.call, "setTurnout(")) ++turnouts_;
        }
    }

    FuzzInput& input_;
    RecordingStation station_;
    TrackPower trackPower_;
    StationScheduler scheduler_{station_, trackPower_, {}, StationScheduler::Mode::Manual};
    std::vector<Answered> answered_;
    std::size_t answeredTotal_ = 0;
    bool repeating_ = false;
    PowerModel power_;
    std::set<std::int32_t> named_;
    bool allDone_ = true;
    std::size_t turnouts_ = 0;
    std::string lastPacket_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool silenced = (SetConsoleSink([](const char*, std::size_t) {}), true);
    (void)silenced;

    FuzzInput input(data, size);
    Protocol protocol(input);
    // The framing and the one-client rule as the handler keeps them, without its threads: the
    // worker takes the messages in order, each carried out to its end before the next.
    ClientMessages clients;
    ClientId client = 0x1000;
    FUZZ_CHECK(clients.Admit(client), "first client denied");
    FUZZ_CHECK(!clients.Admit(client + 1), "second client admitted");
    ClientStream stream;
    const auto reconnect = [&] {
        clients.Forget(client);
        client += 2;
        FUZZ_CHECK(clients.Admit(client), "client after a drop denied");
        stream = ClientStream();
    };

    while (input.PayloadLeft() > 0 || input.HasControl()) {
        const std::uint8_t size = input.Control(0);
        const std::string chunk =
            size == 0xFF ? std::string(kMaxRead, 'F') : input.Take(size == 0 ? kMaxRead : size);
        if (chunk.empty()) continue;

        const ClientMessages::Fed fed = clients.Feed(client, chunk.data(), chunk.size());
        const std::vector<std::string> messages = stream.Append(chunk);
        if (fed == ClientMessages::Fed::TextTooLong || stream.Overlong()) {
            FUZZ_CHECK(fed == ClientMessages::Fed::TextTooLong && stream.Overlong(),
                       stream.Overlong() ? "overlong text kept" : "client dropped");
            FUZZ_CHECK(!clients.AnyWaiting(), "messages of a dropped client wait");
            reconnect();
            continue;
        }
        if (fed == ClientMessages::Fed::TooManyWaiting) {
            std::size_t text = 0;
            for (const std::string& message : messages)
                text += message.size();
            FUZZ_CHECK(messages.size() > ClientMessages::kMaxWaitingMessages ||
                           text > ClientMessages::kMaxWaitingText,
                       "dropped with " + std::to_string(messages.size()) + " messages waiting");
            FUZZ_CHECK(!clients.AnyWaiting(), "messages of a dropped client wait");
            reconnect();
            continue;
        }
        FUZZ_CHECK(fed == ClientMessages::Fed::Kept, "the admitted client's bytes refused");

        std::vector<Exchange> exchanges;
        while (clients.AnyWaiting()) {
            const ClientMessages::Message message = clients.Next();
            FUZZ_CHECK(clients.Wanted(message), "the admitted client's message not wanted");
            std::string reply = "stale";
            protocol.Process(message.text, reply);
            exchanges.push_back({message.text, reply});
        }
        FUZZ_CHECK(exchanges.size() == messages.size(),
                   std::to_string(messages.size()) + " messages framed, " +
                       std::to_string(exchanges.size()) + " processed");
        for (std::size_t i = 0; i < messages.size() && i < exchanges.size(); ++i) {
            FUZZ_CHECK(exchanges[i].message == messages[i],
                       "framed \"" + Printable(exchanges[i].message) + "\", sent \"" +
                           Printable(messages[i]) + "\"");
        }
    }
    return 0;
}
