// ParseHex2, ParseHex3, ParseHexBytes and the packet decoder against a model of the decoding
// rules (what reaches the rails, unknown state after "D", turnouts), with a recording station.
//
// Input (the FuzzInput control length byte first, then records until the payload is used up;
// control bytes are not used):
//   op, refusals, then by op % 5:
//   0  "Q" built from 3 + (op >> 3) % 3 packet bytes, the check byte computed (op bit 7: taken
//      from the input instead)
//   1  "S" built from 1 + (op >> 3) % 7 bytes (op bit 7: each separator taken from the input)
//   2  "D" built from 2 bytes
//   3  a raw "Q", "S" or "D" ((op >> 3) % 3) with the next byte % 32 characters from the input
//   4  the hex readers on the next byte % 16 characters
// op bit 6 writes the built pairs in lower case. Bit i of refusals makes the message's i-th
// station call fail.

#include "base/ConsoleLog.hpp"
#include "fuzz/FuzzCheck.hpp"
#include "fuzz/FuzzInput.hpp"
#include "fuzz/RecordingStation.hpp"
#include "protocol/HexFields.hpp"
#include "protocol/LocoTable.hpp"
#include "protocol/PacketDecoder.hpp"
#include "protocol/StationScheduler.hpp"
#include "protocol/TrackPower.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

// strtol in base 16 on exactly the field's characters.
std::int32_t ReferenceHex(const char* field, std::size_t width) {
    char copy[4] = {};
    std::memcpy(copy, field, width);
    return static_cast<std::int32_t>(std::strtol(copy, nullptr, 16));
}

// Pairs at 0, 3, 6, ... separated by single blanks; a trailing lone character or blank is fine,
// any other separator makes the whole text read as nothing.
std::deque<std::uint8_t> ReferenceBytes(const std::string& text) {
    std::deque<std::uint8_t> bytes;
    for (std::size_t at = 0; at + 2 <= text.size(); at += 3) {
        bytes.push_back(static_cast<std::uint8_t>(ReferenceHex(text.data() + at, 2) & 0xFF));
        if (at + 2 < text.size() && text[at + 2] != ' ') return {};
    }
    return bytes;
}

// The readers on a field held in a buffer of exactly its size, so that AddressSanitizer sees
// any read beyond it.
void CheckReaders(const std::string& text) {
    for (std::size_t width : {2, 3}) {
        if (text.size() < width) continue;
        std::unique_ptr<char[]> field(new char[width]);
        std::memcpy(field.get(), text.data(), width);
        const std::int32_t read = width == 2 ? ParseHex2(field.get()) : ParseHex3(field.get());
        FUZZ_CHECK(read == ReferenceHex(text.data(), width),
                   "ParseHex" + std::to_string(width) + " \"" + Printable(text.substr(0, width)) +
                       "\" read " + std::to_string(read));
    }
    FUZZ_CHECK(ParseHexBytes(text) == ReferenceBytes(text),
               "ParseHexBytes \"" + Printable(text) + "\"");
}

// -1: the decoder does not know what the station holds.
struct Loco {
    std::int32_t speed = -1;
    std::int32_t mode = -1;
    std::int32_t direction = -1;
    std::array<std::int32_t, 29> functions = Unknown();

    static std::array<std::int32_t, 29> Unknown() {
        std::array<std::int32_t, 29> all;
        all.fill(-1);
        return all;
    }
};

// The station's conversion of a speed to a step, and the least speed that gives a step, by
// search.
int StationStep(std::int32_t speed, int n, bool steps128) {
    if (speed == 0) return 0;
    const int c = ((speed >> 2) * n >> 8) + 1;
    return steps128 ? (c > 126 ? 127 : c + 1) : std::min(c, 28);
}

std::int32_t LeastSpeed(int step, bool steps128) {
    if (step == 0 || (steps128 && step == 1)) return 0;
    for (std::int32_t s = 0; s <= 1023; ++s) {
        if (StationStep(s, steps128 ? 126 : 28, steps128) == step) return s;
    }
    return -1;
}

// The decoding rules, written out on their own: which station calls a message must cause, given
// what the station was last told and accepted.
class DecoderModel {
public:
    std::vector<StationCall> Expect(const std::string& message, std::uint32_t refusals) {
        refusals_ = refusals;
        calls_.clear();
        if (message[0] == 'Q') Queue(message);
        if (message[0] == 'S') Send(message);
        if (message[0] == 'D') Dequeue(message);
        return calls_;
    }

    const Loco* Find(std::int32_t key) const {
        auto it = locos_.find(key);
        return it == locos_.end() ? nullptr : &it->second;
    }

private:
    static bool ShortAddress(std::uint8_t b) { return b >= 0x01 && b <= 0x7F; }
    static bool LongAddress(std::uint8_t b) { return b >= 0xC0 && b <= 0xE7; }

    bool Call(StationCall call) {
        call.result = (refusals_ & 1) == 0;
        refusals_ >>= 1;
        calls_.push_back(call);
        return call.result;
    }

    void Speed(std::int32_t key, int direction, int step, bool steps128) {
        const std::int32_t speed = LeastSpeed(step, steps128);
        const std::int32_t mode = steps128 ? 2 : 0;
        Loco& loco = locos_[key];
        if (loco.direction != direction) {
            if (Call({StationCall::Direction, key, direction})) {
                loco.direction = direction;
                loco.speed = 0;  // the station stops a locomotive that changes direction
            } else {
                loco.direction = loco.speed = -1;
                if (speed != 0) return;  // never a speed in a direction the station may not have
            }
        }
        if (speed == 0 || loco.speed != speed || loco.mode != mode) {
            const bool taken = Call({StationCall::Speed, key, speed, mode});
            loco.speed = taken ? speed : -1;
            loco.mode = taken ? mode : -1;
        }
    }

    void Queue(const std::string& message) {
        std::size_t count = 0;
        for (std::size_t n = 3; n <= 5; ++n) {
            if (message.size() == 3 * n + 1) count = n;
        }
        if (count == 0) return;
        std::vector<std::uint8_t> b;
        std::uint8_t check = 0;
        for (std::size_t i = 0; i < count; ++i) {
            b.push_back(static_cast<std::uint8_t>(ReferenceHex(message.data() + 2 + 3 * i, 2)));
            if (i + 1 < count) check ^= b.back();
        }
        if (check != b.back()) return;

        const auto step128 = [](std::uint8_t s) { return (s & 0x7F) < 2 ? 0 : s & 0x7F; };
        // 01DCSSSS: the five-bit value SSSSC; 0-3 stop, 4-31 steps 1-28.
        const auto step28 = [](std::uint8_t i) {
            const int v = ((i & 0x0F) << 1) | ((i >> 4) & 1);
            return v < 4 ? 0 : v - 3;
        };
        const auto isSpeed28 = [](std::uint8_t i) { return (i >> 6) == 1; };
        if (count == 5 && LongAddress(b[0]) && b[2] == 0x3F) {
            Apply((b[0] - 0xC0) * 256 + b[1], b[3] >> 7, step128(b[3]), true);
        } else if (count == 4 && ShortAddress(b[0]) && b[1] == 0x3F) {
            Apply(b[0], b[2] >> 7, step128(b[2]), true);
        } else if (count == 4 && LongAddress(b[0]) && isSpeed28(b[2])) {
            Apply((b[0] - 0xC0) * 256 + b[1], (b[2] >> 5) & 1, step28(b[2]), false);
        } else if (count == 3 && ShortAddress(b[0]) && isSpeed28(b[1])) {
            Apply(b[0], (b[1] >> 5) & 1, step28(b[1]), false);
        }
    }

    void Apply(std::int32_t key, int direction, int step, bool steps128) {
        if (key != 0) Speed(key, direction, step, steps128);
    }

    void Send(const std::string& message) {
        if (message.size() < 2) return;
        std::deque<std::uint8_t> p = ReferenceBytes(message.substr(2));
        if (p.size() < 3) return;
        p.pop_front();
        std::int32_t key;
        std::size_t at;  // the instruction byte
        if (LongAddress(p[0])) {
            key = (p[0] - 0xC0) * 256 + p[1];
            at = 2;
        } else if (ShortAddress(p[0])) {
            key = p[0];
            at = 1;
        } else {
            // 10AAAAAA 1aaa1PPD with its check byte; A from 1 to 511 (aaa inverted).
            if (p[0] >= 0x80 && p[0] <= 0xBF && p.size() == 3 && (p[1] & 0x88) == 0x88 &&
                (p[0] ^ p[1]) == p[2]) {
                const int a = (p[0] & 0x3F) + 64 * (7 - ((p[1] >> 4) & 7));
                if (a != 0) Call({StationCall::Turnout, 4 * (a - 1) + ((p[1] >> 1) & 3), p[1] & 1});
            }
            return;
        }
        if (key == 0 || p.size() <= at) return;
        const std::uint8_t i = p[at];
        const bool withData = p.size() >= at + 3;  // data and error-detection byte
        int first;
        int count;
        unsigned bits;
        if ((i & 0xE0) == 0x80) {
            first = 0;
            count = 5;
            bits = ((i & 0x0F) << 1) | ((i >> 4) & 1);  // F0 is bit 4
        } else if ((i & 0xF0) == 0xB0) {
            first = 5;
            count = 4;
            bits = i & 0x0F;
        } else if ((i & 0xF0) == 0xA0) {
            first = 9;
            count = 4;
            bits = i & 0x0F;
        } else if ((i == 0xDE || i == 0xDF) && withData) {
            first = i == 0xDE ? 13 : 21;
            count = 8;
            bits = p[at + 1];
        } else {
            return;
        }
        Loco& loco = locos_[key];
        for (int n = 0; n < count; ++n) {
            const int on = (bits >> n) & 1;
            if (loco.functions[first + n] == on) continue;
            loco.functions[first + n] = Call({StationCall::Function, key, first + n, on}) ? on : -1;
        }
    }

    void Dequeue(const std::string& message) {
        if (message.size() != 7) return;
        const auto high = static_cast<std::uint8_t>(ReferenceHex(message.data() + 2, 2));
        const auto low = static_cast<std::uint8_t>(ReferenceHex(message.data() + 5, 2));
        if ((high & 0xC0) == 0xC0) {
            locos_.erase((high & 0x3F) * 256 + low);
        } else if (high == 0) {
            locos_.erase(low);
        }
    }

    std::map<std::int32_t, Loco> locos_;
    std::vector<StationCall> calls_;
    std::uint32_t refusals_ = 0;
};

std::string Pair(std::uint8_t b, bool lower) {
    char text[3];
    std::snprintf(text, sizeof text, lower ? "%02x" : "%02X", b);
    return text;
}

std::uint8_t Byte(FuzzInput& input) {
    const std::string b = input.Take(1);
    return b.empty() ? 0 : static_cast<std::uint8_t>(b[0]);
}

std::string BuildMessage(std::uint8_t op, FuzzInput& input) {
    const bool lower = (op & 0x40) != 0;
    const bool raw = (op & 0x80) != 0;
    std::string message;
    switch (op % 5) {
        case 0: {
            message = "Q";
            const std::size_t count = 3 + (op >> 3) % 3;
            std::uint8_t check = 0;
            for (std::size_t i = 0; i + 1 < count; ++i) {
                const std::uint8_t b = Byte(input);
                check ^= b;
                message += " " + Pair(b, lower);
            }
            message += " " + Pair(raw ? Byte(input) : check, lower);
            break;
        }
        case 1: {
            message = "S";
            const std::size_t count = 1 + (op >> 3) % 7;
            for (std::size_t i = 0; i < count; ++i) {
                message += raw ? input.Take(1) : " ";
                message += Pair(Byte(input), lower);
            }
            break;
        }
        case 2:
            message = "D " + Pair(Byte(input), lower);
            message += " " + Pair(Byte(input), lower);
            break;
        case 3:
            message = std::string(1, "QSD"[(op >> 3) % 3]) + input.Take(Byte(input) % 32);
            break;
    }
    return message;
}

void CheckLoco(const LocoTable& locos, const DecoderModel& model, std::int32_t key,
               const std::string& what) {
    const Loco initial;
    const Loco* expected = model.Find(key);
    if (expected == nullptr) expected = &initial;
    const LocoState* state = locos.Find(key);
    const LocoState fresh;
    if (state == nullptr) state = &fresh;
    const auto known = [](std::int32_t value, std::int32_t model) {
        return model < 0 ? value == LocoState::kUnknown : value == model;
    };
    bool same = state->speed == expected->speed && known(state->direction, expected->direction) &&
                known(state->mode, expected->mode);
    for (std::size_t n = 0; n < expected->functions.size(); ++n) {
        same = same && known(state->functions[n], expected->functions[n]);
    }
    FUZZ_CHECK(same, "remembered state of " + std::to_string(key) + ": " + what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool silenced = (SetConsoleSink([](const char*, std::size_t) {}), true);
    (void)silenced;

    FuzzInput input(data, size);
    RecordingStation station(nullptr);
    LocoTable locos;
    TrackPower power;
    StationScheduler scheduler(station, locos, power, {}, StationScheduler::Mode::Manual);
    PacketDecoder decoder(scheduler);
    DecoderModel model;
    std::set<std::int32_t> touched;  // every address a command went to

    while (input.PayloadLeft() > 0) {
        const std::uint8_t op = Byte(input);
        const std::uint8_t refusals = Byte(input);
        if (op % 5 == 4) {
            CheckReaders(input.Take(Byte(input) % 16));
            continue;
        }
        const std::string message = BuildMessage(op, input);
        if (message[0] == 'S' && message.size() >= 2) CheckReaders(message.substr(2));

        station.calls.clear();
        station.SetRefusals(refusals);
        if (message[0] == 'Q') decoder.QueuePacket(message);
        if (message[0] == 'S') decoder.SendPacket(message);
        std::int32_t key = 0;
        if (message[0] == 'D' && PacketDecoder::DequeueKey(message, key)) {
            scheduler.Forget(key, StationScheduler::Clock::now());
        }
        scheduler.RunPending();
        const std::vector<StationCall> expected = model.Expect(message, refusals);

        std::string what = "\"" + Printable(message) + "\" sent";
        for (const StationCall& call : station.calls)
            what += " " + call.ToString();
        what += ", expected";
        for (const StationCall& call : expected)
            what += " " + call.ToString();
        FUZZ_CHECK(station.calls == expected, what);
        for (const StationCall& call : expected) {
            if (call.kind != StationCall::Turnout) touched.insert(call.address);
        }
        for (std::int32_t key : touched)
            CheckLoco(locos, model, key, what);
    }
    return 0;
}
