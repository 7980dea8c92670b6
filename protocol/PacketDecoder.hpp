#pragma once

#include "station/NDSDCC.hpp"

#include <cstdint>
#include <deque>
#include <string>

class IStation;
class LocoTable;

// Turns the DCC packets of "Q", "S" and "D" messages into station commands. Only what changes on
// the rails is sent (a stop is sent every time; a table entry that knows nothing sends all), and
// a value is remembered only once the station has accepted it: a command that failed leaves the
// value unknown, so it goes out again when the client repeats it. Every method takes the message
// as received, letter at position 0, and acts on well-formed packets only; anything else sends
// nothing.
class PacketDecoder {
public:
    PacketDecoder(IStation& station, LocoTable& locos) : station_(station), locos_(locos) {}

    // "Q": a 128-step (0x3F + speed byte) or 28-step (01DCSSSS) speed packet with its check
    // byte, short address (0x01-0x7F) or long (0xC0-0xE7): direction first, then speed.
    void QueuePacket(const std::string& message);
    // "S": a repeat count, then a function group packet (F0-F4, F5-F8, F9-F12, F13-F20,
    // F21-F28), each changed function switched in ascending order; or a basic accessory packet
    // with its check byte, which throws a turnout (coil activation only, every time).
    void SendPacket(const std::string& message);
    // "D": forgets the remembered state of one address ("D 00 nn" short, "D Cx nn" long).
    void Dequeue(const std::string& message);

private:
    void ApplySpeed(std::int32_t key, std::uint8_t direction, NDSDCC::SpeedMode mode,
                    std::int32_t speed);
    // A basic accessory packet (the bytes after the repeat count) throws a turnout.
    void Accessory(const std::deque<std::uint8_t>& packet);

    IStation& station_;
    LocoTable& locos_;
};
