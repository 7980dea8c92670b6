#include "protocol/PacketDecoder.hpp"

#include "base/ConsoleLog.hpp"
#include "protocol/HexFields.hpp"
#include "protocol/StationScheduler.hpp"
#include "station/StationSpeed.hpp"

#include <array>
#include <cstddef>
#include <deque>

namespace {

constexpr std::uint8_t kSpeed128Instruction = 0x3F;
constexpr std::uint8_t kFunctions13To20 = 0xDE;
constexpr std::uint8_t kFunctions21To28 = 0xDF;
// High nibble of an operations-mode CV access instruction (programming on the main).
constexpr std::uint8_t kOpsModeCv = 0x0E;
// Basic accessory outputs the station puts on the rails (decoder addresses 1-511).
constexpr std::int32_t kAccessoryOutputs = 2044;

bool IsShortAddressByte(std::uint8_t b) {
    return b >= 0x01 && b <= 0x7F;
}
bool IsLongAddressByte(std::uint8_t b) {
    return b >= 0xC0 && b <= 0xE7;
}
bool IsAccessoryAddressByte(std::uint8_t b) {
    return b >= 0x80 && b <= 0xBF;
}
bool IsSpeed28Instruction(std::uint8_t b) {
    return (b & 0xC0) == 0x40;
}

std::int32_t LongKey(std::uint8_t high, std::uint8_t low) {
    return (high & 0x3F) * 256 + low;
}

// "Q" fields stand at positions 2, 5, 8, ...: a message of 3n + 1 characters holds n bytes.
constexpr std::size_t kMaxQueueBytes = 5;
constexpr std::size_t QueueLength(std::size_t bytes) {
    return 3 * bytes + 1;
}

struct Speed {
    std::uint8_t direction;  // 1 forward, 0 reverse
    NDSDCC::SpeedMode mode;
    std::int32_t speed;  // station scale; 0 is a stop
};

// 128 steps: bit 7 direction, bits 0-6 the step; 0 stop and 1 emergency stop both give 0 (the
// station has no emergency stop of its own for one locomotive).
Speed FromSpeed128(std::uint8_t speedByte) {
    return {static_cast<std::uint8_t>(speedByte >> 7), NDSDCC::SpeedMode::Steps128,
            StationSpeed::For128(speedByte & 0x7F)};
}

// 28 steps, 01DCSSSS: D direction, C the low bit of the five-bit value; values 0-1 stop,
// 2-3 emergency stop, 4-31 steps 1-28.
Speed FromSpeed28(std::uint8_t instruction) {
    const std::int32_t value = ((instruction & 0x0F) << 1) | ((instruction >> 4) & 1);
    const std::int32_t step = value < 4 ? 0 : value - 3;
    return {static_cast<std::uint8_t>((instruction >> 5) & 1), NDSDCC::SpeedMode::Steps28,
            StationSpeed::For28(step)};
}

// One function group: functions first .. first + count - 1 with their states.
struct FunctionGroup {
    int first = 0;
    int count = 0;
    std::array<std::uint8_t, 8> states{};
};

FunctionGroup Bits(int first, int count, unsigned bits) {
    FunctionGroup group;
    group.first = first;
    group.count = count;
    for (int i = 0; i < count; ++i)
        group.states[i] = (bits >> i) & 1;
    return group;
}

}  // namespace

void PacketDecoder::QueuePacket(const std::string& message) {
    const std::size_t length = message.size();
    std::size_t count = 0;
    for (std::size_t n : {3, 4, 5}) {
        if (length == QueueLength(n)) count = n;
    }
    if (count == 0) return;

    std::array<std::uint8_t, kMaxQueueBytes> b{};
    std::uint8_t check = 0;
    for (std::size_t i = 0; i < count; ++i) {
        b[i] = static_cast<std::uint8_t>(ParseHex2(message.data() + 2 + 3 * i) & 0xFF);
        if (i + 1 < count) check ^= b[i];
    }
    if (check != b[count - 1]) return;

    // Thirteen characters are either a short-address 128-step packet or a long-address 28-step
    // one; the address byte tells which.
    std::int32_t key = 0;
    Speed speed{};
    if (count == 5 && IsLongAddressByte(b[0]) && b[2] == kSpeed128Instruction) {
        key = LongKey(b[0], b[1]);
        speed = FromSpeed128(b[3]);
    } else if (count == 4 && IsShortAddressByte(b[0]) && b[1] == kSpeed128Instruction) {
        key = b[0];
        speed = FromSpeed128(b[2]);
    } else if (count == 4 && IsLongAddressByte(b[0]) && IsSpeed28Instruction(b[2])) {
        key = LongKey(b[0], b[1]);
        speed = FromSpeed28(b[2]);
    } else if (count == 3 && IsShortAddressByte(b[0]) && IsSpeed28Instruction(b[1])) {
        key = b[0];
        speed = FromSpeed28(b[1]);
    } else {
        return;
    }
    if (key == 0) return;
    scheduler_.SetSpeed(key, speed.direction, speed.mode, speed.speed);
}

void PacketDecoder::SendPacket(const std::string& message) {
    if (message.size() < 2) return;
    std::deque<std::uint8_t> packet = ParseHexBytes(message.substr(2));
    if (packet.size() < 3) return;
    packet.pop_front();  // the repeat count

    std::int32_t key = 0;
    std::size_t instructionAt = 0;
    if (IsLongAddressByte(packet[0])) {
        key = LongKey(packet[0], packet[1]);
        instructionAt = 2;
    } else if (IsShortAddressByte(packet[0])) {
        key = packet[0];
        instructionAt = 1;
    } else {
        if (IsAccessoryAddressByte(packet[0])) Accessory(packet);
        return;
    }
    // A long address needs a third byte before there is an instruction to read.
    if (key == 0 || packet.size() <= instructionAt) return;

    const std::uint8_t instruction = packet[instructionAt];
    if ((instruction >> 4) == kOpsModeCv) {
        // 1110CCVV VVVVVVVV DDDDDDDD: the station has no command for it. The protocol has no way
        // to refuse a packet, so the console says it.
        if (packet.size() >= instructionAt + 4) {
            const int cv = ((instruction & 0x03) << 8 | packet[instructionAt + 1]) + 1;
            ConsoleLog("The DSAir2 cannot program on the main: CV %d of locomotive %d ignored.\n",
                       cv, static_cast<int>(key));
        }
        return;
    }
    // A two-byte instruction counts only with its data byte and the error-detection byte.
    const bool hasData = packet.size() >= instructionAt + 3;
    FunctionGroup group;
    if ((instruction >> 5) == 4) {
        // F0 is bit 4, F1-F4 bits 0-3.
        group = Bits(0, 5, ((instruction & 0x0F) << 1) | ((instruction >> 4) & 1));
    } else if ((instruction >> 4) == 0x0B) {
        group = Bits(5, 4, instruction & 0x0F);
    } else if ((instruction >> 4) == 0x0A) {
        group = Bits(9, 4, instruction & 0x0F);
    } else if (instruction == kFunctions13To20 && hasData) {
        group = Bits(13, 8, packet[instructionAt + 1]);
    } else if (instruction == kFunctions21To28 && hasData) {
        group = Bits(21, 8, packet[instructionAt + 1]);
    } else {
        return;
    }

    scheduler_.SetFunctions(key, group.first, group.count, group.states.data());
}

void PacketDecoder::Accessory(const std::deque<std::uint8_t>& packet) {
    // Basic accessory: 10AAAAAA 1aaaCPPD and its check byte. Extended accessory packets (bit 7
    // of the second byte clear) are not for turnouts.
    if (packet.size() != 3 || (packet[1] & 0x80) == 0) return;
    if ((packet[0] ^ packet[1]) != packet[2]) return;
    // C = 0 switches the coil off again; the station does that by itself.
    if ((packet[1] & 0x08) == 0) return;
    const std::int32_t decoder = (packet[0] & 0x3F) | ((~packet[1] >> 4) & 0x07) << 6;
    if (decoder == 0) return;
    const std::int32_t output = (decoder - 1) * 4 + ((packet[1] >> 1) & 0x03);
    if (output >= kAccessoryOutputs) return;
    // Sent every time, a repeat too: a person clicks again when a turnout did not move.
    scheduler_.ThrowTurnout(output, (packet[1] & 0x01) != 0);
}

bool PacketDecoder::DequeueKey(const std::string& message, std::int32_t& key) {
    if (message.size() != 7) return false;
    const auto high = static_cast<std::uint8_t>(ParseHex2(message.data() + 2) & 0xFF);
    const auto low = static_cast<std::uint8_t>(ParseHex2(message.data() + 5) & 0xFF);
    if ((high & 0xC0) == 0xC0) {
        key = LongKey(high, low);
        return true;
    }
    if (high == 0) {
        key = low;
        return true;
    }
    return false;
}
