// The hex readers and the packet decoder against a reference decoding of the packet formats;
// then the wishes the packets ask for, with "D", barriers, fresh stations, the time and the
// station's outcomes, through LocoWishes, whose commands are carried out on a model of the
// station's firmware written here (its list of 20 entries included). Checked on every
// command: never a speed for a locomotive without an entry; never an entry written over a
// running locomotive or an accessory entry still in its lifetime; nothing written that the
// station already holds (a stop and a command the station may not have received excepted); a
// stop of a running locomotive before every command asked for earlier; "K" before everything.
// Once the steps run out (every outcome Done): what the station holds is what the application
// last asked for, unless the locomotive waits for a place; every turnout went out.
//
// Input (FuzzInput). Payload: records until it is used up, op first, by op % 8:
//   0  "Q" built from 3 + (op >> 3) % 3 packet bytes, the check byte computed (op bit 7: taken
//      from the input instead)
//   1  "S" built from 1 + (op >> 3) % 7 bytes (op bit 7: each separator taken from the input)
//   2  "D" built from 2 bytes
//   3  a raw "Q", "S" or "D" ((op >> 3) % 3) with the next byte % 32 characters from the input
//   4  the hex readers on the next byte % 16 characters
//   5  steps: the next byte n, n steps (0: until idle)
//   6  by (op >> 3) % 5: "E" (a PowerOn barrier), "K" (Urgent), another InLine barrier, a fresh
//      station, the oldest barrier waiting withdrawn
//   7  the time moves on by the next byte times 10 ms
// op bit 6 writes the built pairs in lower case. Control: one byte per command written, bits
// 0-2 its outcome (0 Done, 1 Refused, 2 Unknown and carried out, 3 Unknown and lost, 4 NotSent,
// 5-7 Done), bits 3-7 the time it takes in 10 ms; once used up, Done in 100 ms.

#include "fuzz/FuzzCheck.hpp"
#include "fuzz/FuzzInput.hpp"
#include "protocol/HexFields.hpp"
#include "protocol/LocoWishes.hpp"
#include "protocol/PacketDecoder.hpp"

#include <algorithm>
#include <array>
#include <bitset>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = LocoWishes::Clock;
using Command = LocoWishes::Command;
using Kind = LocoWishes::Command::Kind;

constexpr int kFunctions = 29;  // F0-F28

// ---- The hex readers -------------------------------------------------------------------------

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

// ---- The packet formats ----------------------------------------------------------------------

bool ShortAddress(std::uint8_t b) {
    return b >= 0x01 && b <= 0x7F;
}
bool LongAddress(std::uint8_t b) {
    return b >= 0xC0 && b <= 0xE7;
}
std::int32_t LongKey(std::uint8_t high, std::uint8_t low) {
    return (high - 0xC0) * 256 + low;
}

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

// The station drops addresses above this one: a locomotive beyond it has no entry.
constexpr std::int32_t kHighestAddress = 10238;

PacketWish Motion(std::int32_t key, int direction, int step, bool steps128) {
    if (key == 0 || key > kHighestAddress) return {};
    SpeedWish wish;
    wish.key = key;
    wish.direction = static_cast<std::uint8_t>(direction);
    wish.mode = steps128 ? SpeedMode::Steps128 : SpeedMode::Steps28;
    wish.speed = LeastSpeed(step, steps128);
    return wish;
}

// "Q": 3, 4 or 5 pairs at 2, 5, 8, ..., the last the XOR of the others.
PacketWish ReferenceQueue(const std::string& message) {
    std::size_t count = 0;
    for (std::size_t n = 3; n <= 5; ++n) {
        if (message.size() == 3 * n + 1) count = n;
    }
    if (count == 0) return {};
    std::vector<std::uint8_t> b;
    std::uint8_t check = 0;
    for (std::size_t i = 0; i < count; ++i) {
        b.push_back(static_cast<std::uint8_t>(ReferenceHex(message.data() + 2 + 3 * i, 2)));
        if (i + 1 < count) check ^= b.back();
    }
    if (check != b.back()) return {};

    const auto step128 = [](std::uint8_t s) { return (s & 0x7F) < 2 ? 0 : s & 0x7F; };
    // 01DCSSSS: the five-bit value SSSSC; 0-3 stop, 4-31 steps 1-28.
    const auto step28 = [](std::uint8_t i) {
        const int v = ((i & 0x0F) << 1) | ((i >> 4) & 1);
        return v < 4 ? 0 : v - 3;
    };
    const auto isSpeed28 = [](std::uint8_t i) { return (i >> 6) == 1; };
    if (count == 5 && LongAddress(b[0]) && b[2] == 0x3F) {
        return Motion(LongKey(b[0], b[1]), b[3] >> 7, step128(b[3]), true);
    }
    if (count == 4 && ShortAddress(b[0]) && b[1] == 0x3F) {
        return Motion(b[0], b[2] >> 7, step128(b[2]), true);
    }
    if (count == 4 && LongAddress(b[0]) && isSpeed28(b[2])) {
        return Motion(LongKey(b[0], b[1]), (b[2] >> 5) & 1, step28(b[2]), false);
    }
    if (count == 3 && ShortAddress(b[0]) && isSpeed28(b[1])) {
        return Motion(b[0], (b[1] >> 5) & 1, step28(b[1]), false);
    }
    return {};
}

// "S": a repeat count, then a locomotive's function group or operations-mode write, or a basic
// accessory packet.
PacketWish ReferenceSend(const std::string& message) {
    if (message.size() < 2) return {};
    std::deque<std::uint8_t> p = ReferenceBytes(message.substr(2));
    if (p.size() < 3) return {};
    p.pop_front();
    std::int32_t key;
    std::size_t at;  // the instruction byte
    if (LongAddress(p[0])) {
        key = LongKey(p[0], p[1]);
        at = 2;
    } else if (ShortAddress(p[0])) {
        key = p[0];
        at = 1;
    } else {
        // 10AAAAAA 1aaa1PPD with its check byte; A from 1 to 511 (aaa inverted).
        if (p[0] >= 0x80 && p[0] <= 0xBF && p.size() == 3 && (p[1] & 0x88) == 0x88 &&
            (p[0] ^ p[1]) == p[2]) {
            const int a = (p[0] & 0x3F) + 64 * (7 - ((p[1] >> 4) & 7));
            if (a != 0) return TurnoutWish{4 * (a - 1) + ((p[1] >> 1) & 3), (p[1] & 1) != 0};
        }
        return {};
    }
    if (key == 0 || key > kHighestAddress || p.size() <= at) return {};
    const std::uint8_t i = p[at];
    if ((i & 0xF0) == 0xE0) {
        // 1110CCVV VVVVVVVV DDDDDDDD and the error-detection byte.
        if (p.size() < at + 4) return {};
        return OpsModeWrite{key, ((i & 0x03) << 8) + p[at + 1] + 1};
    }
    const bool withData = p.size() >= at + 3;  // data and error-detection byte
    FunctionWish group;
    group.key = key;
    unsigned bits;
    if ((i & 0xE0) == 0x80) {
        group.first = 0;
        group.count = 5;
        bits = ((i & 0x0F) << 1) | ((i >> 4) & 1);  // F0 is bit 4
    } else if ((i & 0xF0) == 0xB0) {
        group.first = 5;
        group.count = 4;
        bits = i & 0x0F;
    } else if ((i & 0xF0) == 0xA0) {
        group.first = 9;
        group.count = 4;
        bits = i & 0x0F;
    } else if ((i == 0xDE || i == 0xDF) && withData) {
        group.first = i == 0xDE ? 13 : 21;
        group.count = 8;
        bits = p[at + 1];
    } else {
        return {};
    }
    for (int n = 0; n < group.count; ++n)
        group.states[n] = (bits >> n) & 1;
    return group;
}

// "D 00 nn" or "D Cx nn" (any high byte with both top bits set).
bool ReferenceDequeue(const std::string& message, std::int32_t& key) {
    if (message.size() != 7) return false;
    const auto high = static_cast<std::uint8_t>(ReferenceHex(message.data() + 2, 2));
    const auto low = static_cast<std::uint8_t>(ReferenceHex(message.data() + 5, 2));
    if ((high & 0xC0) == 0xC0) {
        key = (high & 0x3F) * 256 + low;
        return true;
    }
    if (high == 0) {
        key = low;
        return true;
    }
    return false;
}

// Every field of a wish, so that two texts are equal exactly when the wishes are.
std::string Show(const PacketWish& wish) {
    return std::visit(
        [](const auto& w) -> std::string {
            using W = std::decay_t<decltype(w)>;
            if constexpr (std::is_same_v<W, SpeedWish>) {
                return "speed " + std::to_string(w.key) + (w.direction ? " fwd " : " rev ") +
                       std::to_string(w.speed) + " mode " +
                       std::to_string(static_cast<int>(w.mode));
            } else if constexpr (std::is_same_v<W, FunctionWish>) {
                std::string text =
                    "functions " + std::to_string(w.key) + " F" + std::to_string(w.first) + ":";
                for (int n = 0; n < w.count; ++n)
                    text += std::to_string(w.states[n]);
                return text;
            } else if constexpr (std::is_same_v<W, TurnoutWish>) {
                return "turnout " + std::to_string(w.output) + (w.thrown ? " thrown" : " closed");
            } else if constexpr (std::is_same_v<W, OpsModeWrite>) {
                return "ops-mode " + std::to_string(w.key) + " CV" + std::to_string(w.cv);
            } else {
                return "nothing";
            }
        },
        wish);
}

std::string Show(const Command& c) {
    const std::string key = std::to_string(c.number);
    switch (c.kind) {
        case Kind::Direction:
            return "setLocoDirection(" + key + (c.direction ? ",fwd)" : ",rev)");
        case Kind::Speed:
            return "setLocoSpeed(" + key + "," + std::to_string(c.speed) + "," +
                   std::to_string(static_cast<int>(c.mode)) + ")";
        case Kind::Function:
            return "setLocoFunction(" + key + "," + std::to_string(c.function) +
                   (c.on ? ",1)" : ",0)");
        case Kind::Turnout:
            return "setTurnout(" + key + (c.on ? ",1)" : ",0)");
    }
    return "?";
}

// ---- The station -----------------------------------------------------------------------------

// The DSAir2's firmware: the list of entries it refreshes the rails from (an accessory command's
// entry for 0.7 s from when it reached the station), and per locomotive what its entry holds
// (without an entry: what the decoder last heard).
class Station {
public:
    static constexpr std::size_t kListSize = 20;
    static constexpr std::int32_t kBootLoco = 3;
    static constexpr auto kAccessoryLifetime = 700ms;

    struct Loco {
        bool entry = false;
        std::uint8_t direction = 1;  // 1 forward
        std::int32_t speed = 0;
        int mode = 0;  // setLocoSpeed's m mod 4; 0 is 28 steps
        std::array<std::uint8_t, kFunctions> functions{};
    };
    struct Slot {
        bool accessory = false;
        std::int32_t number = 0;
        Clock::time_point leaves{};
    };

    Station() { Boot(); }

    // After a reset: locomotive 3's entry only, stopped, forward, 28 steps.
    void Boot() {
        list_.assign(1, Slot{false, kBootLoco, {}});
        locos_.clear();
        locos_[kBootLoco] = Fresh(1);
    }

    // Accessory entries leave after their lifetime; the list closes up behind them.
    void Expire(Clock::time_point now) {
        list_.erase(std::remove_if(list_.begin(), list_.end(),
                                   [now](const Slot& s) { return s.accessory && s.leaves <= now; }),
                    list_.end());
    }

    const Loco& Find(std::int32_t key) const {
        static const Loco kNeverTold{};
        const auto found = locos_.find(key);
        return found == locos_.end() ? kNeverTold : found->second;
    }
    bool Running(std::int32_t key) const {
        const Loco& loco = Find(key);
        return loco.entry && loco.speed != 0;
    }
    bool Full() const { return list_.size() >= kListSize; }
    const Slot& First() const { return list_.front(); }

    // True when c, carried out, makes a new entry.
    bool MakesEntry(const Command& c) const {
        if (c.kind == Kind::Turnout) return true;
        return (c.kind == Kind::Direction || c.kind == Kind::Function) && !Find(c.number).entry;
    }

    // c reached the station at writtenAt and was carried out.
    void CarryOut(const Command& c, Clock::time_point writtenAt) {
        if (c.kind == Kind::Turnout) {
            Insert({true, c.number, writtenAt + kAccessoryLifetime}, writtenAt);
            return;
        }
        Loco& loco = locos_[c.number];
        switch (c.kind) {
            case Kind::Direction:
                if (!loco.entry) {
                    Insert({false, c.number, {}}, writtenAt);
                    loco = Fresh(c.direction);
                } else if (loco.direction != c.direction) {
                    loco.direction = c.direction;
                    loco.speed = 0;  // a change of direction stops the locomotive
                }
                break;
            case Kind::Speed:
                // Without an entry the firmware writes outside its list: checked before.
                loco.speed = c.speed;
                loco.mode = static_cast<int>(c.mode) % 4;
                break;
            case Kind::Function:
                if (!loco.entry) {
                    Insert({false, c.number, {}}, writtenAt);
                    loco = Fresh(1);
                }
                loco.functions[c.function] = c.on ? 1 : 0;
                break;
            case Kind::Turnout:
                break;
        }
    }

    std::string ShowList() const {
        std::string text = "list [";
        for (const Slot& s : list_) {
            text += s.accessory ? " T" : " ";
            text += std::to_string(s.number);
            if (!s.accessory && Find(s.number).speed != 0) text += "*";
        }
        return text + " ]";
    }

private:
    static Loco Fresh(std::uint8_t direction) {
        Loco loco;
        loco.entry = true;
        loco.direction = direction;
        return loco;
    }

    // At the end, or in the first place of a full list: the locomotive there loses its entry.
    void Insert(const Slot& slot, Clock::time_point now) {
        Expire(now);
        if (list_.size() < kListSize) {
            list_.push_back(slot);
            return;
        }
        const Slot gone = list_.front();
        list_.front() = slot;
        if (!gone.accessory) locos_[gone.number].entry = false;
    }

    std::vector<Slot> list_;
    std::map<std::int32_t, Loco> locos_;
};

// ---- The session -----------------------------------------------------------------------------

// What the application last asked for one locomotive, and when (in the order of everything it
// asked); what the station refused or never answered readably waits until it is asked again.
struct Asked {
    bool hasMotion = false;
    SpeedWish motion;
    std::uint64_t motionAt = 0;
    bool motionGivenUp = false;
    std::array<int, kFunctions> functions = Unset();  // -1: never asked (or forgotten)
    std::array<std::uint64_t, kFunctions> functionAt{};
    std::bitset<kFunctions> functionGivenUp;

    static std::array<int, kFunctions> Unset() {
        std::array<int, kFunctions> all;
        all.fill(-1);
        return all;
    }
};

// What LocoWishes cannot know about a locomotive, because a command that may have changed it
// went unanswered: such a value may be written again although the station holds it.
struct Doubt {
    bool entry = false;
    bool direction = false;
    bool speed = false;  // speed and mode
    std::bitset<kFunctions> functions;
};

struct QueuedBarrier {
    std::uint64_t id = 0;
    std::uint64_t at = 0;
    LocoWishes::Order order = LocoWishes::Order::InLine;
    bool forget = false;
    std::int32_t key = 0;
};

struct TurnoutAsked {
    std::uint64_t at = 0;
    std::int32_t output = 0;
    bool thrown = false;
    bool unsettled = false;  // written without an answer
};

class Session {
public:
    explicit Session(FuzzInput& input) : input_(input) {}

    // One "Q", "S" or "D" message: the decoder against the reference, then its wish.
    void Message(const std::string& message) {
        if (message[0] == 'D') {
            std::int32_t key = -1;
            std::int32_t expected = -1;
            const bool read = PacketDecoder::DequeueKey(message, key);
            FUZZ_CHECK(read == ReferenceDequeue(message, expected) && (!read || key == expected),
                       "\"" + Printable(message) + "\" read as key " + std::to_string(key) +
                           ", expected " + std::to_string(expected));
            if (read) Forget(key);
            return;
        }
        if (message.size() >= 2 && message[0] == 'S') CheckReaders(message.substr(2));
        const bool queue = message[0] == 'Q';
        const PacketWish wish =
            queue ? PacketDecoder::QueuePacket(message) : PacketDecoder::SendPacket(message);
        const PacketWish expected = queue ? ReferenceQueue(message) : ReferenceSend(message);
        FUZZ_CHECK(Show(wish) == Show(expected), "\"" + Printable(message) + "\" read as " +
                                                     Show(wish) + ", expected " + Show(expected));
        if (const auto* speed = std::get_if<SpeedWish>(&wish)) AskSpeed(*speed);
        if (const auto* functions = std::get_if<FunctionWish>(&wish)) AskFunctions(*functions);
        if (const auto* turnout = std::get_if<TurnoutWish>(&wish)) AskTurnout(*turnout);
    }

    void Barrier(LocoWishes::Order order) {
        std::vector<std::uint64_t> withdrawn;
        QueuedBarrier barrier;
        barrier.id = wishes_.Barrier(order, &withdrawn);
        barrier.at = ++asked_;
        barrier.order = order;
        Trace("barrier " + std::to_string(barrier.id) +
              (order == LocoWishes::Order::Urgent    ? " K"
               : order == LocoWishes::Order::PowerOn ? " E"
                                                     : " B"));
        // "K" withdraws every "E" still waiting, and nothing else.
        std::vector<std::uint64_t> expected;
        if (order == LocoWishes::Order::Urgent) {
            for (auto it = barriers_.begin(); it != barriers_.end();) {
                if (it->order == LocoWishes::Order::PowerOn) {
                    expected.push_back(it->id);
                    it = barriers_.erase(it);
                } else {
                    ++it;
                }
            }
        }
        std::sort(withdrawn.begin(), withdrawn.end());
        FUZZ_CHECK(withdrawn == expected, "barriers withdrawn by K" + Trail());
        barriers_.push_back(barrier);
    }

    void WithdrawOldest() {
        if (barriers_.empty()) return;
        const std::uint64_t id = barriers_.front().id;
        Trace("withdraw " + std::to_string(id));
        FUZZ_CHECK(wishes_.Withdraw(id), "a waiting barrier could not be withdrawn" + Trail());
        barriers_.pop_front();
    }

    // The station booted: it holds its boot state, and LocoWishes is told.
    void FreshStation() {
        Trace("fresh station");
        wishes_.FreshStation(now_);
        station_.Boot();
        doubts_.clear();
        listDoubt_ = false;
        pendingStops_.clear();
        linkGone_ = notSentSinceBoot_ = false;
        for (auto& [key, asked] : askedFor_) {
            asked.motionGivenUp = false;
            asked.functionGivenUp.reset();
        }
    }

    void Wait(Clock::duration time) {
        now_ += time;
        Trace("wait " + std::to_string(time / 1ms) + " ms");
    }

    // Carries out count steps (0: until idle), with the outcomes the control bytes script.
    void Run(int count) {
        constexpr int kUntilIdle = 2000;
        const int steps = count == 0 ? kUntilIdle : count;
        for (int i = 0; i < steps; ++i) {
            if (!Step(false)) return;
        }
    }

    // The steps run out: the link is back if it was gone (a reopened port resets the station),
    // every outcome is Done, the time moves on to every wake; then what the station holds is
    // what the application last asked for.
    void RunOut() {
        if (notSentSinceBoot_) FreshStation();
        runningOut_ = true;
        constexpr int kCap = 20000;
        int steps = 0;
        while (Step(true)) {
            FUZZ_CHECK(++steps < kCap, "the steps never run out" + Trail());
        }
        CheckFinal();
    }

private:
    struct Outcome {
        CommandOutcome outcome = CommandOutcome::Done;
        bool carriedOut = true;
        Clock::duration takes = 100ms;
    };

    std::string Trail() const {
        std::string text = "\n  " + station_.ShowList() + "\n  sequence:";
        const std::size_t from = trace_.size() > 400 ? trace_.size() - 400 : 0;
        for (std::size_t i = from; i < trace_.size(); ++i)
            text += "\n    " + trace_[i];
        return text;
    }
    void Trace(std::string line) { trace_.push_back(std::move(line)); }

    void AskSpeed(const SpeedWish& wish) {
        const std::uint64_t at = ++asked_;
        Trace("ask " + Show(PacketWish{wish}));
        wishes_.Speed(wish);
        Asked& asked = askedFor_[wish.key];
        asked.hasMotion = true;
        asked.motion = wish;
        asked.motionAt = at;
        asked.motionGivenUp = false;
        if (wish.speed != 0) {
            pendingStops_.erase(wish.key);  // overtaken: no stop to write
        } else if (station_.Running(wish.key)) {
            pendingStops_[wish.key] = at;
        }
    }

    void AskFunctions(const FunctionWish& wish) {
        const std::uint64_t at = ++asked_;
        Trace("ask " + Show(PacketWish{wish}));
        wishes_.Functions(wish);
        Asked& asked = askedFor_[wish.key];
        for (int i = 0; i < wish.count; ++i) {
            const int n = wish.first + i;
            asked.functions[n] = wish.states[i];
            asked.functionAt[n] = at;
            asked.functionGivenUp[n] = false;
        }
    }

    void AskTurnout(const TurnoutWish& wish) {
        const std::uint64_t at = ++asked_;
        Trace("ask " + Show(PacketWish{wish}));
        wishes_.Turnout(wish);
        // One sent without an answer is sent again with the newer coil instead.
        for (TurnoutAsked& turnout : turnouts_) {
            if (turnout.unsettled && turnout.output == wish.output) {
                turnout.thrown = wish.thrown;
                return;
            }
        }
        turnouts_.push_back({at, wish.output, wish.thrown});
    }

    void Forget(std::int32_t key) {
        QueuedBarrier barrier;
        barrier.id = wishes_.Forget(key);
        barrier.at = ++asked_;
        barrier.forget = true;
        barrier.key = key;
        Trace("barrier " + std::to_string(barrier.id) + " D " + std::to_string(key));
        barriers_.push_back(barrier);
    }

    Outcome NextOutcome() {
        Outcome o;
        if (runningOut_ || !input_.HasControl()) return o;
        const std::uint8_t byte = input_.Control(0);
        o.takes = (byte >> 3) * 10ms;
        switch (byte & 7) {
            case 1:
                o.outcome = CommandOutcome::Refused;
                o.carriedOut = false;
                break;
            case 2:
                o.outcome = CommandOutcome::Unknown;
                break;
            case 3:
                o.outcome = CommandOutcome::Unknown;
                o.carriedOut = false;
                break;
            case 4:
                o.outcome = CommandOutcome::NotSent;
                o.carriedOut = false;
                break;
            default:
                break;
        }
        return o;
    }

    // One step of LocoWishes at now; false when it is idle (at the end: idle for good).
    bool Step(bool toTheEnd) {
        const LocoWishes::Step step = wishes_.Next(now_);
        wishes_.TakeNotices();
        const bool urgentWaiting = std::any_of(
            barriers_.begin(), barriers_.end(),
            [](const QueuedBarrier& b) { return b.order == LocoWishes::Order::Urgent; });
        switch (step.kind) {
            case LocoWishes::Step::Kind::Idle:
                FUZZ_CHECK(!urgentWaiting, "idle with a K waiting" + Trail());
                if (!toTheEnd || step.wake == Clock::time_point::max()) return false;
                FUZZ_CHECK(step.wake > now_, "idle until a time already past" + Trail());
                now_ = step.wake;
                Trace("wake");
                return true;
            case LocoWishes::Step::Kind::Greet:
                FUZZ_CHECK(!urgentWaiting, "greeted with a K waiting" + Trail());
                Trace("greet");
                wishes_.Wrote(now_);
                return true;
            case LocoWishes::Step::Kind::Watch:
                // Only an idle station is watched: nothing else is left to do.
                FUZZ_CHECK(!urgentWaiting, "watched with a K waiting" + Trail());
                Trace("watch");
                wishes_.Watched(CommandOutcome::Done, now_);
                return false;
            case LocoWishes::Step::Kind::Barrier:
                TakeBarrier(step.barrier, urgentWaiting);
                return true;
            case LocoWishes::Step::Kind::Write:
                FUZZ_CHECK(!urgentWaiting,
                           Show(step.command) + " written with a K waiting" + Trail());
                Write(step.command);
                return true;
        }
        return false;
    }

    void TakeBarrier(std::uint64_t id, bool urgentWaiting) {
        const auto found = std::find_if(barriers_.begin(), barriers_.end(),
                                        [id](const QueuedBarrier& b) { return b.id == id; });
        FUZZ_CHECK(found != barriers_.end(),
                   "barrier " + std::to_string(id) + " taken but not waiting" + Trail());
        const QueuedBarrier barrier = *found;
        barriers_.erase(found);
        Trace("take barrier " + std::to_string(id));
        if (barrier.order == LocoWishes::Order::Urgent) return;
        FUZZ_CHECK(!urgentWaiting, "a barrier taken before the K waiting" + Trail());
        // A stop of a running locomotive goes out before any barrier asked for after it; with the
        // link gone neither reaches the station, and a station that is back has restarted.
        for (const auto& [key, at] : pendingStops_) {
            if (linkGone_) break;
            FUZZ_CHECK(at > barrier.at, "the stop of running locomotive " + std::to_string(key) +
                                            " not written before a later barrier" + Trail());
        }
        if (!barrier.forget) return;
        // "D" forgets what was asked for the locomotive before it, not what came after.
        const auto asked = askedFor_.find(barrier.key);
        if (asked == askedFor_.end()) return;
        Asked& a = asked->second;
        if (a.motionAt < barrier.at) a.hasMotion = false;
        for (int n = 0; n < kFunctions; ++n) {
            if (a.functionAt[n] < barrier.at) a.functions[n] = -1;
        }
    }

    // When the application asked for what c brings to the station.
    std::uint64_t AskedAt(const Command& c) const {
        if (c.kind == Kind::Turnout) return turnouts_.empty() ? 0 : turnouts_.front().at;
        const auto found = askedFor_.find(c.number);
        if (found == askedFor_.end()) return 0;
        const Asked& a = found->second;
        if (c.kind == Kind::Function) return a.functionAt[c.function];
        if (c.kind == Kind::Speed) return a.motionAt;
        // A direction may also settle an entry made by a function.
        std::uint64_t at = a.motionAt;
        for (std::uint64_t f : a.functionAt)
            at = std::max(at, f);
        return at;
    }

    void Write(const Command& c) {
        const Clock::time_point writtenAt = now_;
        station_.Expire(writtenAt);
        const std::string what = Show(c);
        Trace("write " + what);
        const Station::Loco& held = station_.Find(c.number);
        if (c.kind != Kind::Turnout) {
            FUZZ_CHECK(c.number >= 1 && c.number <= kHighestAddress, what + ": address" + Trail());
        }

        // The firmware fault: a speed without an entry writes outside the list.
        if (c.kind == Kind::Speed) {
            FUZZ_CHECK(held.entry,
                       what + " for a locomotive without an entry in the station's list" + Trail());
        }
        // On a full list a new entry goes into the first place.
        if (station_.MakesEntry(c) && station_.Full()) {
            const Station::Slot& first = station_.First();
            FUZZ_CHECK(!first.accessory, what + " written over the entry of turnout " +
                                             std::to_string(first.number) +
                                             " still in its lifetime" + Trail());
            FUZZ_CHECK(!station_.Running(first.number),
                       what + " written over the entry of running locomotive " +
                           std::to_string(first.number) + Trail());
        }
        CheckNeeded(c, what);

        // A stop of a running locomotive before every command asked for earlier.
        const bool stop = c.kind == Kind::Speed && c.speed == 0;
        if (stop) {
            pendingStops_.erase(c.number);
        } else {
            const std::uint64_t at = AskedAt(c);
            for (const auto& [key, stopAt] : pendingStops_) {
                FUZZ_CHECK(at > stopAt, what + " written before the stop of running locomotive " +
                                            std::to_string(key) + " asked for after it" + Trail());
            }
        }
        if (c.kind == Kind::Turnout) {
            FUZZ_CHECK(!turnouts_.empty() && turnouts_.front().output == c.number &&
                           turnouts_.front().thrown == c.on,
                       what + " is not the oldest turnout asked for" + Trail());
        }

        const Outcome o = NextOutcome();
        now_ += o.takes;
        const bool hadEntry = held.entry;
        if (o.outcome == CommandOutcome::Unknown) Doubted(c, hadEntry);
        if (o.carriedOut) station_.CarryOut(c, writtenAt);
        if (o.outcome == CommandOutcome::Done) Settled(c, hadEntry);
        Answered(c, o.outcome);
        linkGone_ = o.outcome == CommandOutcome::NotSent;
        notSentSinceBoot_ = notSentSinceBoot_ || linkGone_;
        Trace(std::string("  -> ") +
              (o.outcome == CommandOutcome::Done      ? "done"
               : o.outcome == CommandOutcome::Refused ? "refused"
               : o.outcome == CommandOutcome::NotSent ? "not sent"
               : o.carriedOut                         ? "unknown, carried out"
                                                      : "unknown, lost") +
              " after " + std::to_string(o.takes / 1ms) + " ms");
        wishes_.Record(c, o.outcome, now_);
    }

    // Nothing is written that the station holds already, except a stop, a turnout, a command
    // that makes an entry, and what an unanswered command may have changed.
    void CheckNeeded(const Command& c, const std::string& what) {
        if (c.kind == Kind::Turnout || listDoubt_) return;
        const Station::Loco& held = station_.Find(c.number);
        const auto found = doubts_.find(c.number);
        const Doubt doubt = found == doubts_.end() ? Doubt{} : found->second;
        if (!held.entry || doubt.entry) return;
        bool needed = true;
        switch (c.kind) {
            case Kind::Direction:
                needed = doubt.direction || held.direction != c.direction;
                break;
            case Kind::Speed:
                needed = c.speed == 0 || doubt.speed || held.speed != c.speed ||
                         held.mode != static_cast<int>(c.mode);
                break;
            case Kind::Function:
                needed = doubt.functions[c.function] || held.functions[c.function] != c.on;
                break;
            case Kind::Turnout:
                break;
        }
        FUZZ_CHECK(needed, what + " written, but the station holds it already" + Trail());
    }

    // An unanswered command: the values it may have changed are no longer known.
    void Doubted(const Command& c, bool hadEntry) {
        if (c.kind == Kind::Turnout) {
            // Whether it took a place in the list, and whose, is not known.
            listDoubt_ = true;
            return;
        }
        Doubt& d = doubts_[c.number];
        const bool mayMakeEntry = !hadEntry || d.entry;
        switch (c.kind) {
            case Kind::Direction:
                d.direction = d.speed = true;
                if (mayMakeEntry) {
                    d.entry = true;
                    d.functions.set();
                }
                break;
            case Kind::Speed:
                d.speed = true;
                break;
            case Kind::Function:
                d.functions[c.function] = true;
                if (mayMakeEntry) {
                    d.entry = d.direction = d.speed = true;
                    d.functions.set();
                }
                break;
            case Kind::Turnout:
                break;
        }
    }

    // An answered command: what it set is known again.
    void Settled(const Command& c, bool hadEntry) {
        if (c.kind == Kind::Turnout) return;
        Doubt& d = doubts_[c.number];
        if (c.kind != Kind::Speed && !hadEntry && !d.entry) {
            d = Doubt{};  // a new entry: everything it holds is known
            return;
        }
        switch (c.kind) {
            case Kind::Direction:
                d.direction = d.entry = false;
                break;
            case Kind::Speed:
                d.speed = false;
                break;
            case Kind::Function:
                d.functions[c.function] = d.entry = false;
                break;
            case Kind::Turnout:
                break;
        }
    }

    // What LocoWishes does with an outcome: a refusal gives the value up until it is asked for
    // again; an unknown outcome is sent again, as often as it takes. A turnout is done with when
    // settled; one that reached no station gives way to a newer one for the same output, one
    // that may have arrived is sent again with the newer one's coil, which then goes.
    void Answered(const Command& c, CommandOutcome outcome) {
        const bool givenUp = outcome == CommandOutcome::Refused;
        if (c.kind == Kind::Turnout) {
            if (outcome == CommandOutcome::Done || givenUp) {
                turnouts_.pop_front();
                return;
            }
            const auto newer =
                std::find_if(std::next(turnouts_.begin()), turnouts_.end(),
                             [&](const TurnoutAsked& t) { return t.output == c.number; });
            if (outcome == CommandOutcome::NotSent) {
                if (newer != turnouts_.end()) turnouts_.pop_front();
                return;
            }
            turnouts_.front().unsettled = true;
            if (newer != turnouts_.end()) {
                turnouts_.front().thrown = newer->thrown;
                turnouts_.erase(newer);
            }
            return;
        }
        if (!givenUp) return;
        Asked& asked = askedFor_[c.number];
        if (c.kind == Kind::Function) {
            asked.functionGivenUp[c.function] = true;
        } else {
            asked.motionGivenUp = true;
        }
    }

    void CheckFinal() {
        station_.Expire(now_);
        // A full list whose first entry runs has no place for anything new.
        const Station::Slot& first = station_.First();
        const bool noPlace = station_.Full() && !first.accessory && station_.Running(first.number);
        FUZZ_CHECK(turnouts_.empty() || noPlace,
                   "turnout " + std::to_string(turnouts_.front().output) +
                       " never sent, although the list has a place" + Trail());
        for (const auto& [key, asked] : askedFor_) {
            const Station::Loco& held = station_.Find(key);
            const std::string loco = "locomotive " + std::to_string(key);
            const bool motion = asked.hasMotion && !asked.motionGivenUp;
            if (!held.entry) {
                // Its decoder keeps what it last heard; only a change needs an entry.
                bool needsEntry = motion && asked.motion.speed != 0;
                for (int n = 0; n < kFunctions; ++n) {
                    needsEntry =
                        needsEntry || (asked.functions[n] >= 0 && !asked.functionGivenUp[n] &&
                                       held.functions[n] != asked.functions[n]);
                }
                FUZZ_CHECK(!needsEntry || noPlace,
                           loco + " never sent, although the list has a place" + Trail());
                continue;
            }
            if (motion) {
                // A standing locomotive stands in any mode: the mode goes with a speed.
                FUZZ_CHECK(held.direction == asked.motion.direction &&
                               held.speed == asked.motion.speed &&
                               (asked.motion.speed == 0 ||
                                held.mode == static_cast<int>(asked.motion.mode)),
                           loco + " holds direction " + std::to_string(held.direction) + " speed " +
                               std::to_string(held.speed) + " mode " + std::to_string(held.mode) +
                               ", last asked for " + Show(PacketWish{asked.motion}) + Trail());
            }
            for (int n = 0; n < kFunctions; ++n) {
                if (asked.functions[n] < 0 || asked.functionGivenUp[n]) continue;
                FUZZ_CHECK(held.functions[n] == asked.functions[n],
                           loco + " holds F" + std::to_string(n) + " " +
                               std::to_string(held.functions[n]) + ", last asked for " +
                               std::to_string(asked.functions[n]) + Trail());
            }
        }
    }

    FuzzInput& input_;
    LocoWishes wishes_;
    Station station_;
    Clock::time_point now_ = Clock::time_point{} + 1h;
    std::uint64_t asked_ = 0;  // counts wishes and barriers
    std::map<std::int32_t, Asked> askedFor_;
    std::map<std::int32_t, Doubt> doubts_;
    // A turnout went unanswered: the station's list may differ from what LocoWishes counts.
    bool listDoubt_ = false;
    // Stops asked for locomotives running on the station and not yet written.
    std::map<std::int32_t, std::uint64_t> pendingStops_;
    std::deque<QueuedBarrier> barriers_;
    std::deque<TurnoutAsked> turnouts_;
    // The latest command written reached no station.
    bool linkGone_ = false;
    bool notSentSinceBoot_ = false;
    bool runningOut_ = false;
    std::vector<std::string> trace_;
};

// ---- The input -------------------------------------------------------------------------------

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
    switch (op % 8) {
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
        default:
            message = std::string(1, "QSD"[(op >> 3) % 3]) + input.Take(Byte(input) % 32);
            break;
    }
    return message;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    Session session(input);
    while (input.PayloadLeft() > 0) {
        const std::uint8_t op = Byte(input);
        switch (op % 8) {
            case 0:
            case 1:
            case 2:
            case 3:
                session.Message(BuildMessage(op, input));
                break;
            case 4:
                CheckReaders(input.Take(Byte(input) % 16));
                break;
            case 5:
                session.Run(Byte(input));
                break;
            case 6:
                switch ((op >> 3) % 5) {
                    case 0:
                        session.Barrier(LocoWishes::Order::PowerOn);
                        break;
                    case 1:
                        session.Barrier(LocoWishes::Order::Urgent);
                        break;
                    case 2:
                        session.Barrier(LocoWishes::Order::InLine);
                        break;
                    case 3:
                        session.FreshStation();
                        break;
                    default:
                        session.WithdrawOldest();
                        break;
                }
                break;
            default:
                session.Wait(Byte(input) * 10ms);
                break;
        }
    }
    session.RunOut();
    return 0;
}
