#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct SimLoco;

// The DCC packets the station puts on the rails, from its own state: address bytes and
// instruction bytes, without the error-detection byte.
class Rails {
public:
    using Packet = std::vector<std::uint8_t>;

    // The station's speed-step modes, as setLocoSpeed's third argument stores them (mod 4); the
    // fourth makes the station refresh a decoder reset instead of a speed.
    static constexpr std::uint16_t kMode28 = 0;
    static constexpr std::uint16_t kMode14 = 1;
    static constexpr std::uint16_t kMode128 = 2;
    static constexpr std::uint16_t kModeReset = 3;

    // The station's conversion of a speed 0-1023 onto n steps: 0 for 0, else ((s >> 2) * n >> 8)
    // + 1.
    static std::uint32_t Steps(std::uint32_t speed, std::uint32_t n);

    // The speed step the locomotive's speed packet carries in its mode: 0 stop, else 1-126,
    // 1-28 or 1-14; 0 for the decoder reset packet.
    static std::uint32_t Step(const SimLoco& loco);

    // The address bytes of a DCC locomotive address 1-10238: one byte below 128, else two.
    static Packet Address(std::int32_t dccAddress);
    // The speed packet the station refreshes for a locomotive (its mode, speed, direction).
    static Packet Speed(std::int32_t dccAddress, const SimLoco& loco);
    // The function group packet that carries function f (0-60).
    static Packet Functions(std::int32_t dccAddress, const SimLoco& loco, int f);
    // The basic accessory packet for output k (0-2043), coil d (0 or 1), activated.
    static Packet Accessory(std::int32_t k, int d);

    // "03 3F 86": upper-case hex bytes separated by blanks.
    static std::string Hex(const Packet& packet);
};
