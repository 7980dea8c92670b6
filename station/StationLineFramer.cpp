#include "station/StationLineFramer.hpp"

#include <algorithm>
#include <cstring>

StationLineFramer::StationLineFramer() {
    // Status lines and the CV answer fit; the ping's status line (about 270 bytes) grows it once.
    line_.reserve(256);
}

void StationLineFramer::Feed(const std::uint8_t* data, std::size_t size) {
    at_ = data;
    end_ = data + size;
}

const std::string* StationLineFramer::Next() {
    if (complete_) {
        // clear() keeps the capacity: no allocation per line once the longest has been seen.
        line_.clear();
        complete_ = false;
    }
    if (at_ == end_) return nullptr;
    const auto* feed = static_cast<const std::uint8_t*>(
        std::memchr(at_, '\n', static_cast<std::size_t>(end_ - at_)));
    const std::uint8_t* stop = feed ? feed : end_;
    // Beyond the cap the rest of the line is dropped up to its line feed: a station that never
    // ends its line must not grow the buffer without bound.
    const std::size_t room = kMaxLineLength - line_.size();
    const std::size_t take = std::min(room, static_cast<std::size_t>(stop - at_));
    line_.append(reinterpret_cast<const char*>(at_), take);
    if (!feed) {
        at_ = end_;
        return nullptr;
    }
    at_ = feed + 1;
    complete_ = true;
    return &line_;
}
