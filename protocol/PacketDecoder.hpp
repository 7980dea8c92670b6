#pragma once

#include <cstdint>
#include <deque>
#include <string>

class StationScheduler;

// Reads the DCC packets of "Q", "S" and "D" messages. Speed and function packets become the state
// the application wants for a locomotive, and turnout packets turnouts to throw, all handed to
// the scheduler, which decides what the station must be sent. Every method takes the message as
// received, letter at position 0, and acts on well-formed packets only; anything else changes
// nothing.
class PacketDecoder {
public:
    explicit PacketDecoder(StationScheduler& scheduler) : scheduler_(scheduler) {}

    // "Q": a 128-step (0x3F + speed byte) or 28-step (01DCSSSS) speed packet with its check
    // byte, short address (0x01-0x7F) or long (0xC0-0xE7).
    void QueuePacket(const std::string& message);
    // "S": a repeat count, then a function group packet (F0-F4, F5-F8, F9-F12, F13-F20,
    // F21-F28); or a basic accessory packet with its check byte, which throws a turnout (coil
    // activation only, every time). An operations-mode CV packet cannot be carried out by the
    // station; the console says so.
    void SendPacket(const std::string& message);
    // "D": the address key whose memory is to be forgotten ("D 00 nn" short, "D Cx nn" long);
    // false for any other form.
    static bool DequeueKey(const std::string& message, std::int32_t& key);

private:
    // A basic accessory packet (the bytes after the repeat count) throws a turnout.
    void Accessory(const std::deque<std::uint8_t>& packet);

    StationScheduler& scheduler_;
};
