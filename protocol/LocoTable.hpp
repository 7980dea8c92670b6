#pragma once

#include "protocol/LocoState.hpp"

#include <cstddef>
#include <cstdint>
#include <map>

// Remembered locomotive state by address key (short address n and long address n share a key).
// Used from the server thread only, one message at a time, so it has no lock.
class LocoTable {
public:
    LocoTable() = default;
    LocoTable(const LocoTable&) = delete;
    LocoTable& operator=(const LocoTable&) = delete;

    // The process-wide table the program uses; it outlives every client connection.
    static LocoTable& Instance();

    // The entry of key, created with the initial values if there is none.
    LocoState& Entry(std::int32_t key);
    // The entry of key, or null.
    const LocoState* Find(std::int32_t key) const;
    // Forgets key; nothing happens if it has no entry.
    void Forget(std::int32_t key);
    // Forgets every entry (the station behind the link was reset or replaced).
    void ForgetAll();
    std::size_t Size() const { return entries_.size(); }

private:
    std::map<std::int32_t, LocoState> entries_;
};
