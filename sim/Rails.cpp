#include "sim/Rails.hpp"

#include "sim/SimState.hpp"

#include <algorithm>

std::uint32_t Rails::Steps(std::uint32_t speed, std::uint32_t n) {
    if (speed == 0) return 0;
    return ((speed >> 2) * n >> 8) + 1;
}

std::uint32_t Rails::Step(const SimLoco& loco) {
    switch (loco.mode) {
        case kMode128:
            return std::min<std::uint32_t>(Steps(loco.speed, 126), 126);
        case kMode28:
            return std::min<std::uint32_t>(Steps(loco.speed, 28), 28);
        case kMode14:
            return std::min<std::uint32_t>(Steps(loco.speed, 14), 14);
        default:
            return 0;
    }
}

Rails::Packet Rails::Address(std::int32_t dccAddress) {
    if (dccAddress < 128) return {static_cast<std::uint8_t>(dccAddress)};
    return {static_cast<std::uint8_t>(0xC0 | (dccAddress >> 8)),
            static_cast<std::uint8_t>(dccAddress & 0xFF)};
}

Rails::Packet Rails::Speed(std::int32_t dccAddress, const SimLoco& loco) {
    Packet packet = Address(dccAddress);
    const std::uint8_t forward = loco.forward ? 1 : 0;
    switch (loco.mode) {
        case kMode128: {
            // Step 1 is the emergency stop; the conversion never lands on it.
            const std::uint32_t c = Steps(loco.speed, 126);
            const std::uint32_t step = c == 0 ? 0 : c > 126 ? 127 : c + 1;
            packet.push_back(0x3F);
            packet.push_back(static_cast<std::uint8_t>(forward << 7 | step));
            break;
        }
        case kMode28: {
            // 01DCSSSS: the five bits CSSSS hold the step's NMRA code SSSSC, that is step + 3.
            const std::uint32_t n = std::min<std::uint32_t>(Steps(loco.speed, 28), 28);
            const std::uint32_t code = n == 0 ? 0 : n + 3;
            packet.push_back(
                static_cast<std::uint8_t>(0x40 | forward << 5 | (code & 1) << 4 | code >> 1));
            break;
        }
        case kMode14: {
            // 01D0SSSS; the headlight bit 4 stays clear, as the firmware leaves it.
            const std::uint32_t n = std::min<std::uint32_t>(Steps(loco.speed, 14), 14);
            packet.push_back(static_cast<std::uint8_t>(0x40 | forward << 5 | (n == 0 ? 0 : n + 1)));
            break;
        }
        default:
            packet.push_back(0x00);  // decoder reset
            break;
    }
    return packet;
}

Rails::Packet Rails::Functions(std::int32_t dccAddress, const SimLoco& loco, int f) {
    Packet packet = Address(dccAddress);
    const auto bits = [&loco](int first, int count) {
        unsigned value = 0;
        for (int i = 0; i < count; ++i) {
            if (loco.functions & (std::uint64_t{1} << (first + i))) value |= 1u << i;
        }
        return static_cast<std::uint8_t>(value);
    };
    if (f <= 4) {
        const bool f0 = (loco.functions & 1) != 0;
        packet.push_back(static_cast<std::uint8_t>(0x80 | (f0 ? 0x10 : 0) | bits(1, 4)));
    } else if (f <= 8) {
        packet.push_back(static_cast<std::uint8_t>(0xB0 | bits(5, 4)));
    } else if (f <= 12) {
        packet.push_back(static_cast<std::uint8_t>(0xA0 | bits(9, 4)));
    } else if (f <= 20) {
        packet.push_back(0xDE);
        packet.push_back(bits(13, 8));
    } else if (f <= 28) {
        packet.push_back(0xDF);
        packet.push_back(bits(21, 8));
    } else {
        // F29-F36 0xD8, F37-F44 0xD9, F45-F52 0xDA, F53-F60 0xDB.
        const int group = (f - 29) / 8;
        packet.push_back(static_cast<std::uint8_t>(0xD8 + group));
        packet.push_back(bits(29 + group * 8, 8));
    }
    return packet;
}

Rails::Packet Rails::Accessory(std::int32_t k, int d) {
    // 10AAAAAA 1aaaCPPD: A = k / 4 + 1, its high three bits inverted, C = 1, P = k mod 4.
    const std::int32_t a = k / 4 + 1;
    const std::int32_t p = k % 4;
    return {static_cast<std::uint8_t>(0x80 | (a & 0x3F)),
            static_cast<std::uint8_t>(0x80 | ((~a >> 6) & 7) << 4 | 0x08 | p << 1 | (d & 1))};
}

std::string Rails::Hex(const Packet& packet) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (const std::uint8_t byte : packet) {
        if (!text.empty()) text += ' ';
        text += kDigits[byte >> 4];
        text += kDigits[byte & 15];
    }
    return text;
}
