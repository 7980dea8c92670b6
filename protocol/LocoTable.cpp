#include "protocol/LocoTable.hpp"

LocoTable& LocoTable::Instance() {
    static LocoTable table;
    return table;
}

LocoState& LocoTable::Entry(std::int32_t key) {
    return entries_[key];
}

const LocoState* LocoTable::Find(std::int32_t key) const {
    auto it = entries_.find(key);
    return it == entries_.end() ? nullptr : &it->second;
}

void LocoTable::Forget(std::int32_t key) {
    entries_.erase(key);
}

void LocoTable::ForgetAll() {
    entries_.clear();
}
