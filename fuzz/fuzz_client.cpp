// Client bytes through the handler's framing into ProcessMessage, with a recording station.
//
// Input: see FuzzInput. The payload is what the client sends; each control byte sizes the next
// read (0: up to a full read, 0xFF: a full read of 'F' without a carriage return, else that
// many bytes) or answers a station call (RecordingStation).

#include "base/ConsoleLog.hpp"
#include "fuzz/FuzzCheck.hpp"
#include "fuzz/FuzzInput.hpp"
#include "fuzz/RecordingStation.hpp"
#include "protocol/CvService.hpp"
#include "protocol/HexFields.hpp"
#include "protocol/LocoTable.hpp"
#include "protocol/NTCPRecvHandler.hpp"
#include "protocol/ProcessMessage.hpp"
#include "protocol/StationScheduler.hpp"
#include "protocol/TrackPower.hpp"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kMaxRead = 10000;  // the server's receive buffer
constexpr std::int32_t kMaxLocoAddress = 10239;
constexpr std::int32_t kMaxStationSpeed = 1023;
constexpr std::int32_t kMaxFunction = 28;
constexpr std::int32_t kTurnoutOutputs = 2044;

struct Exchange {
    std::string message;
    std::string reply;
};

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
            } else if (pending_.size() == NTCPRecvHandler::kMaxClientText) {
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

// The address keys a packet message names: its first packet byte as a short address and its
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

int FunctionGroup(std::int32_t n) {
    return n <= 4 ? 0 : n <= 8 ? 1 : n <= 12 ? 2 : n <= 20 ? 3 : 4;
}

std::string Describe(const std::string& message, const std::string& reply,
                     const std::vector<StationCall>& calls) {
    std::string text = "message \"" + Printable(message) + "\" reply \"" + Printable(reply) + "\"";
    for (const StationCall& call : calls)
        text += " " + call.ToString();
    return text;
}

// Locomotive commands of one "Q" or "S" message: only for an address the packet names, within
// the station's ranges, direction before speed, functions of one group in ascending order.
void CheckLocoCalls(const std::string& message, const std::vector<StationCall>& calls,
                    const std::string& what) {
    const std::vector<std::int32_t> named = NamedKeys(message);
    const bool queue = message[0] == 'Q';
    for (std::size_t i = 0; i < calls.size(); ++i) {
        const StationCall& call = calls[i];
        if (call.kind == StationCall::Turnout) {
            // An accessory packet throws one turnout output of the station's range.
            FUZZ_CHECK(!queue && calls.size() == 1, "turnout with other commands: " + what);
            FUZZ_CHECK(call.address >= 0 && call.address < kTurnoutOutputs &&
                           (call.value == 0 || call.value == 1),
                       "turnout output: " + what);
            continue;
        }
        FUZZ_CHECK(call.address >= 1 && call.address <= kMaxLocoAddress, "address range: " + what);
        bool isNamed = false;
        for (std::int32_t key : named)
            isNamed = isNamed || key == call.address;
        FUZZ_CHECK(isNamed, "address the packet did not name: " + what);
        FUZZ_CHECK(call.address == calls[0].address, "two addresses in one packet: " + what);
        if (queue) {
            FUZZ_CHECK(call.kind == StationCall::Direction || call.kind == StationCall::Speed,
                       "not a speed command: " + what);
            if (call.kind == StationCall::Speed) {
                FUZZ_CHECK(call.value >= 0 && call.value <= kMaxStationSpeed, "speed: " + what);
                FUZZ_CHECK(call.state == 0 || call.state == 2, "speed-step mode: " + what);
                FUZZ_CHECK(i + 1 == calls.size(), "speed not last: " + what);
            } else {
                FUZZ_CHECK(i == 0, "direction not first: " + what);
            }
        } else {
            FUZZ_CHECK(call.kind == StationCall::Function, "not a function command: " + what);
            FUZZ_CHECK(call.value >= 0 && call.value <= kMaxFunction, "function number: " + what);
            if (i > 0) {
                FUZZ_CHECK(call.value > calls[i - 1].value, "functions not ascending: " + what);
                FUZZ_CHECK(FunctionGroup(call.value) == FunctionGroup(calls[0].value),
                           "functions of two groups: " + what);
            }
        }
    }
}

// The reply and the station calls of one message against the letter's row.
// The track power the application asked for, and whether programming switched it off since.
struct PowerModel {
    bool requestedOn = false;
    bool offByProgramming = false;

    void Programmed(const std::vector<StationCall>& calls) {
        if (!calls.empty()) offByProgramming = requestedOn;
    }
};

bool IsRegisterDigit(char c) {
    return c >= '1' && c <= '8';
}

// Registers 1-4 are CVs 1-4, 5 is CV 29, 7 and 8 CVs 7 and 8; 6 has none.
std::int32_t RegisterCv(char digit) {
    return digit == '5' ? 29 : digit == '6' ? 0 : digit - '0';
}

void CheckMessage(const std::string& message, const std::string& reply,
                  const std::vector<StationCall>& calls, LocoTable& locos, PowerModel& power) {
    const std::string what = Describe(message, reply, calls);
    FUZZ_CHECK(message.find('\r') == std::string::npos, "carriage return inside: " + what);
    FUZZ_CHECK(!reply.empty(), "empty reply: " + what);
    const char letter = message.empty() ? '\0' : message[0];
    const auto only = [&](std::initializer_list<StationCall::Kind> kinds) {
        FUZZ_CHECK(calls.size() == kinds.size(), "station calls: " + what);
        std::size_t i = 0;
        for (StationCall::Kind kind : kinds)
            FUZZ_CHECK(calls[i++].kind == kind, what);
    };
    switch (letter) {
        case 'C':
        case 'F':
            FUZZ_CHECK(reply == "O", what);
            only({});
            break;
        case 'X':
            // Leaving programming switches the track back on only when programming switched
            // off a track the application had on.
            FUZZ_CHECK(reply == "O", what);
            if (power.offByProgramming) {
                only({StationCall::PowerOn});
                power.offByProgramming = !calls[0].result;
            } else {
                only({});
            }
            break;
        case 'E':
            FUZZ_CHECK(reply == "O", what);
            only({StationCall::PowerOn});
            power = {true, false};
            break;
        case 'K':
            FUZZ_CHECK(reply == "O", what);
            only({StationCall::PowerOff});
            power = {false, false};
            break;
        case 'M':
            FUZZ_CHECK(reply == "P", what);
            only({});
            break;
        case 'V':
            if (message.size() == 2 && IsRegisterDigit(message[1]) && message[1] != '6') {
                only({StationCall::GetConfig});
                FUZZ_CHECK(calls[0].address == RegisterCv(message[1]), "register CV: " + what);
                std::string expected = "--";
                if (calls[0].result && calls[0].value >= 0 && calls[0].value <= 0xFF) {
                    char text[8];
                    std::snprintf(text, sizeof text, "V%c%02X\rP", message[1],
                                  static_cast<unsigned>(calls[0].value));
                    expected = text;
                }
                FUZZ_CHECK(reply == expected, what);
                power.Programmed(calls);
            } else {
                const bool page = message.size() == 2 && message[1] == '6';
                FUZZ_CHECK(reply == (page ? "--" : "---"), what);
                only({});
            }
            break;
        case 'G': {
            std::string expected = "O";
            if (message.size() >= 5 && message[1] == 'D') {
                // "GD 01" has its number at 3-4, the longer form at 4-5.
                expected = "G" + message.substr(message.size() == 5 ? 3 : 4, 2) + "0000";
            }
            FUZZ_CHECK(reply == expected, what);
            only({});
            break;
        }
        case 'L':
            FUZZ_CHECK(reply == (message.size() >= 6 ? "L" + message.substr(2, 4) + "000000" : "O"),
                       what);
            only({});
            break;
        case 'P':
            if (message.size() == 8) {
                only({StationCall::SetConfig});
                FUZZ_CHECK(calls[0].address == ParseHex3(message.data() + 2) &&
                               calls[0].value == ParseHex2(message.data() + 6),
                           "CV write fields: " + what);
                FUZZ_CHECK(reply == (calls[0].result ? "P" : "--"), "CV write reply: " + what);
                power.Programmed(calls);
            } else {
                FUZZ_CHECK(reply == "P", what);
                only({});
            }
            break;
        case 'R': {
            std::string expected = "--";
            if (message.size() == 5 && ParseHex3(message.data() + 2) >= 0) {
                only({StationCall::GetConfig});
                const StationCall& read = calls[0];
                FUZZ_CHECK(read.address == ParseHex3(message.data() + 2), "CV read field: " + what);
                power.Programmed(calls);
                if (read.result && read.value >= 0 && read.value <= 0xFF) {
                    char text[16];
                    std::snprintf(text, sizeof text, "CV%03X%02X\rP",
                                  static_cast<unsigned>(read.address),
                                  static_cast<unsigned>(read.value));
                    expected = text;
                }
            } else {
                only({});
            }
            FUZZ_CHECK(reply == expected, what);
            break;
        }
        case 'D':
            FUZZ_CHECK(reply == "O", what);
            only({});
            if (message.size() == 7) {
                const std::uint8_t high = Hex2(message, 2);
                const std::uint8_t low = Hex2(message, 5);
                if ((high & 0xC0) == 0xC0) {
                    FUZZ_CHECK(locos.Find((high & 0x3F) * 256 + low) == nullptr,
                               "not forgotten: " + what);
                } else if (high == 0) {
                    FUZZ_CHECK(locos.Find(low) == nullptr, "not forgotten: " + what);
                }
            }
            break;
        case 'S':
            if (message.size() == 5 && IsRegisterDigit(message[1]) && message[2] == ' ' &&
                std::isxdigit(static_cast<unsigned char>(message[3])) &&
                std::isxdigit(static_cast<unsigned char>(message[4]))) {
                if (message[1] == '6') {
                    FUZZ_CHECK(reply == "--", what);
                    only({});
                    break;
                }
                only({StationCall::SetConfig});
                FUZZ_CHECK(calls[0].address == RegisterCv(message[1]) &&
                               calls[0].value == ParseHex2(message.data() + 3),
                           "register write fields: " + what);
                FUZZ_CHECK(reply == (calls[0].result ? "O" : "--"), "register write: " + what);
                power.Programmed(calls);
                break;
            }
            FUZZ_CHECK(reply == "O", what);
            CheckLocoCalls(message, calls, what);
            break;
        case 'Q':
            FUZZ_CHECK(reply == "O", what);
            CheckLocoCalls(message, calls, what);
            break;
        default:
            FUZZ_CHECK(reply == "?", what);
            only({});
            break;
    }
    if (reply.find('\r') != std::string::npos) {
        FUZZ_CHECK((letter == 'R' && reply.size() == 9 && reply.find('\r') == 7) ||
                       (letter == 'V' && reply.size() == 6 && reply.find('\r') == 4),
                   "carriage return in a reply: " + what);
    }
}

// A packet the station took completely, sent again at once, changes nothing: no direction and
// no function goes out again, a speed only when it is a stop, and a turnout is thrown again.
void CheckRepeat(const std::string& message, LocoTable& locos, TrackPower& power) {
    RecordingStation station(nullptr);
    StationScheduler scheduler(station, locos, power, {}, StationScheduler::Mode::Manual);
    std::string reply;
    ProcessMessage(message, reply, scheduler);
    scheduler.RunPending();
    for (const StationCall& call : station.calls) {
        FUZZ_CHECK((call.kind == StationCall::Speed && call.value == 0) ||
                       call.kind == StationCall::Turnout,
                   "repeated packet sent " + call.ToString() + ": " + Describe(message, reply, {}));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool silenced = (SetConsoleSink([](const char*, std::size_t) {}), true);
    (void)silenced;

    FuzzInput input(data, size);
    RecordingStation station(&input);
    LocoTable locos;
    TrackPower power;
    StationScheduler scheduler(station, locos, power, {}, StationScheduler::Mode::Manual);
    PowerModel powerModel;
    std::vector<Exchange> exchanges;
    NTCPRecvHandler handler([&](std::string message, std::string& reply) {
        const std::size_t before = station.calls.size();
        const bool result = ProcessMessage(message, reply, scheduler);
        scheduler.RunPending();
        FUZZ_CHECK(result, "ProcessMessage failed: " + Printable(message));
        const std::vector<StationCall> calls(station.calls.begin() + before, station.calls.end());
        CheckMessage(message, reply, calls, locos, powerModel);
        bool accepted = true;
        for (const StationCall& call : calls)
            accepted = accepted && call.result;
        const bool packet = !message.empty() && (message[0] == 'Q' || message[0] == 'S') &&
                            !CvService::IsRegisterWrite(message);
        if (accepted && packet) {
            CheckRepeat(message, locos, power);
        }
        exchanges.push_back({message, reply});
        return result;
    });

    ClientId client = 0x1000;
    FUZZ_CHECK(handler.OnAccept(client, "192.0.2.1"), "first client denied");
    FUZZ_CHECK(!handler.OnAccept(client + 1, "192.0.2.2"), "second client admitted");
    ClientStream stream;
    // The server keeps one reply text per connection and never clears it.
    std::string reply = "stale";

    while (input.PayloadLeft() > 0 || input.HasControl()) {
        const std::uint8_t size = input.Control(0);
        const std::string chunk =
            size == 0xFF ? std::string(kMaxRead, 'F') : input.Take(size == 0 ? kMaxRead : size);
        if (chunk.empty()) continue;

        exchanges.clear();
        bool replyReady = false;
        bool closeAfterReply = false;
        const bool keep =
            handler.OnReceive(client, chunk.data(), static_cast<unsigned>(chunk.size()), replyReady,
                              reply, closeAfterReply);
        const std::vector<std::string> messages = stream.Append(chunk);
        FUZZ_CHECK(!closeAfterReply, "closeAfterReply set");

        FUZZ_CHECK(exchanges.size() == messages.size(),
                   std::to_string(messages.size()) + " messages framed, " +
                       std::to_string(exchanges.size()) + " processed");
        std::string replies;
        for (std::size_t i = 0; i < messages.size(); ++i) {
            FUZZ_CHECK(exchanges[i].message == messages[i],
                       "framed \"" + Printable(exchanges[i].message) + "\", sent \"" +
                           Printable(messages[i]) + "\"");
            replies += exchanges[i].reply + "\r";
        }

        FUZZ_CHECK(keep == !stream.Overlong(), keep ? "overlong text kept" : "client dropped");
        if (!keep) {
            handler.OnDisconnect(client);
            client += 2;
            FUZZ_CHECK(handler.OnAccept(client, "192.0.2.3"), "client after a drop denied");
            stream = ClientStream();
            reply = "stale";
            continue;
        }
        FUZZ_CHECK(replyReady == !messages.empty(), "reply ready without a message or not ready");
        if (replyReady) {
            FUZZ_CHECK(reply == replies, "reply text \"" + Printable(reply) + "\", replies \"" +
                                             Printable(replies) + "\"");
        }
    }
    return 0;
}
