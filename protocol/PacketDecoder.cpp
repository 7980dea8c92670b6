#include "protocol/PacketDecoder.hpp"

#include "protocol/HexFields.hpp"
#include "station/StationSpeed.hpp"

#include <array>
#include <cstddef>
#include <deque>
#include <string>

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

// The highest address the station puts on the rails; it drops anything above, so a locomotive
// beyond it has no entry and no place in the station's list.
constexpr std::int32_t kMaxStationAddress = 10238;

// "Q" fields stand at positions 2, 5, 8, ...: a message of 3n + 1 characters holds n bytes.
constexpr std::size_t kMaxQueueBytes = 5;
constexpr std::size_t QueueLength(std::size_t bytes) {
    return 3 * bytes + 1;
}

// 128 steps: bit 7 direction, bits 0-6 the step; 0 stop and 1 emergency stop both give 0 (the
// station has no emergency stop of its own for one locomotive).
SpeedWish FromSpeed128(std::int32_t key, std::uint8_t speedByte) {
    return {key, static_cast<std::uint8_t>(speedByte >> 7), SpeedMode::Steps128,
            StationSpeed::For128(speedByte & 0x7F)};
}

// 28 steps, 01DCSSSS: D direction, C the low bit of the five-bit value; values 0-1 stop,
// 2-3 emergency stop, 4-31 steps 1-28.
SpeedWish FromSpeed28(std::int32_t key, std::uint8_t instruction) {
    const std::int32_t value = ((instruction & 0x0F) << 1) | ((instruction >> 4) & 1);
    const std::int32_t step = value < 4 ? 0 : value - 3;
    return {key, static_cast<std::uint8_t>((instruction >> 5) & 1), SpeedMode::Steps28,
            StationSpeed::For28(step)};
}

FunctionWish Bits(std::int32_t key, int first, int count, unsigned bits) {
    FunctionWish group;
    group.key = key;
    group.first = first;
    group.count = count;
    for (int i = 0; i < count; ++i)
        group.states[i] = (bits >> i) & 1;
    return group;
}

// Basic accessory: 10AAAAAA 1aaaCPPD and its check byte (the bytes after the repeat count).
// Extended accessory packets (bit 7 of the second byte clear) are not for turnouts.
PacketWish Accessory(const std::deque<std::uint8_t>& packet) {
    if (packet.size() != 3 || (packet[1] & 0x80) == 0) return {};
    if ((packet[0] ^ packet[1]) != packet[2]) return {};
    // C = 0 switches the coil off again; the station does that by itself.
    if ((packet[1] & 0x08) == 0) return {};
    const std::int32_t decoder = (packet[0] & 0x3F) | ((~packet[1] >> 4) & 0x07) << 6;
    if (decoder == 0) return {};
    const std::int32_t output = (decoder - 1) * 4 + ((packet[1] >> 1) & 0x03);
    if (output >= kAccessoryOutputs) return {};
    return TurnoutWish{output, (packet[1] & 0x01) != 0};
}

}  // namespace

PacketWish PacketDecoder::QueuePacket(const std::string& message) {
    const std::size_t length = message.size();
    std::size_t count = 0;
    for (std::size_t n : {3, 4, 5}) {
        if (length == QueueLength(n)) count = n;
    }
    if (count == 0) return {};

    std::array<std::uint8_t, kMaxQueueBytes> b{};
    std::uint8_t check = 0;
    for (std::size_t i = 0; i < count; ++i) {
        b[i] = static_cast<std::uint8_t>(ParseHex2(message.data() + 2 + 3 * i) & 0xFF);
        if (i + 1 < count) check ^= b[i];
    }
    if (check != b[count - 1]) return {};

    // Thirteen characters are either a short-address 128-step packet or a long-address 28-step
    // one; the address byte tells which.
    SpeedWish wish;
    if (count == 5 && IsLongAddressByte(b[0]) && b[2] == kSpeed128Instruction) {
        wish = FromSpeed128(LongKey(b[0], b[1]), b[3]);
    } else if (count == 4 && IsShortAddressByte(b[0]) && b[1] == kSpeed128Instruction) {
        wish = FromSpeed128(b[0], b[2]);
    } else if (count == 4 && IsLongAddressByte(b[0]) && IsSpeed28Instruction(b[2])) {
        wish = FromSpeed28(LongKey(b[0], b[1]), b[2]);
    } else if (count == 3 && IsShortAddressByte(b[0]) && IsSpeed28Instruction(b[1])) {
        wish = FromSpeed28(b[0], b[1]);
    } else {
        return {};
    }
    if (wish.key == 0 || wish.key > kMaxStationAddress) return {};
    return wish;
}

PacketWish PacketDecoder::SendPacket(const std::string& message) {
    if (message.size() < 2) return {};
    std::deque<std::uint8_t> packet = ParseHexBytes(message.substr(2));
    if (packet.size() < 3) return {};
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
        if (IsAccessoryAddressByte(packet[0])) return Accessory(packet);
        return {};
    }
    // A long address needs a third byte before there is an instruction to read.
    if (key == 0 || key > kMaxStationAddress || packet.size() <= instructionAt) return {};

    const std::uint8_t instruction = packet[instructionAt];
    if ((instruction >> 4) == kOpsModeCv) {
        // 1110CCVV VVVVVVVV DDDDDDDD: the station has no command for it.
        if (packet.size() < instructionAt + 4) return {};
        return OpsModeWrite{key, ((instruction & 0x03) << 8 | packet[instructionAt + 1]) + 1};
    }
    // A two-byte instruction counts only with its data byte and the error-detection byte.
    const bool hasData = packet.size() >= instructionAt + 3;
    if ((instruction >> 5) == 4) {
        // F0 is bit 4, F1-F4 bits 0-3.
        return Bits(key, 0, 5, ((instruction & 0x0F) << 1) | ((instruction >> 4) & 1));
    }
    if ((instruction >> 4) == 0x0B) return Bits(key, 5, 4, instruction & 0x0F);
    if ((instruction >> 4) == 0x0A) return Bits(key, 9, 4, instruction & 0x0F);
    if (instruction == kFunctions13To20 && hasData) {
        return Bits(key, 13, 8, packet[instructionAt + 1]);
    }
    if (instruction == kFunctions21To28 && hasData) {
        return Bits(key, 21, 8, packet[instructionAt + 1]);
    }
    return {};
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
