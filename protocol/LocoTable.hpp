#pragma once

#include "protocol/LocoState.hpp"

#include <cstddef>
#include <cstdint>
#include <map>

// Remembered locomotive state by address key (short address n and long address n share a key).
// Used by one thread only (the one that writes station commands), so it has no lock.
class LocoTable {
public:
    LocoTable() = default;
    LocoTable(const LocoTable&) = delete;
    LocoTable& operator=(const LocoTable&) = delete;

    // The entry of key, created with the initial values if there is none.
    LocoState& Entry(std::int32_t key);
    // The entry of key, or null.
    const LocoState* Find(std::int32_t key) const;
    // Forgets key; nothing happens if it has no entry.
    void Forget(std::int32_t key);
    // Forgets every entry (a station that was reset holds nothing).
    void ForgetAll() { entries_.clear(); }
    std::size_t Size() const { return entries_.size(); }

private:
    std::map<std::int32_t, LocoState> entries_;
};
