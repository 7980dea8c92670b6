#pragma once

#include "protocol/PacketWish.hpp"

#include <cstdint>
#include <string>

// Reads the DCC packets of "Q", "S" and "D" messages and says what each asks for: a
// locomotive's speed, its functions, a turnout, a programming-on-the-main write, or nothing. It
// acts on nothing itself. Every method takes the message as received, letter at position 0;
// anything malformed asks for nothing.
class PacketDecoder {
public:
    PacketDecoder() = delete;

    // "Q": a 128-step (0x3F + speed byte) or 28-step (01DCSSSS) speed packet with its check
    // byte, short address (0x01-0x7F) or long (0xC0-0xE7).
    static PacketWish QueuePacket(const std::string& message);
    // "S": a repeat count, then a function group packet (F0-F4, F5-F8, F9-F12, F13-F20,
    // F21-F28), an operations-mode CV write, or a basic accessory packet with its check byte
    // (coil activation only).
    static PacketWish SendPacket(const std::string& message);
    // "D": the address key whose wishes are to be forgotten ("D 00 nn" short, "D Cx nn" long);
    // false for any other form.
    static bool DequeueKey(const std::string& message, std::int32_t& key);
};
