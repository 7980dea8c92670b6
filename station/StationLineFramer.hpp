#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Cuts the station's byte stream into lines at line feeds, whatever the chunks: a line may span
// reads, a read may hold several lines. Lines are handed out without their line feed (a carriage
// return before it stays). Knows nothing of ports or threads; one thread feeds it at a time.
//
//     framer.Feed(bytes, size);
//     while (const std::string* line = framer.Next()) Handle(*line);
class StationLineFramer {
public:
    // Longest line kept; the rest of a longer line up to its line feed is dropped.
    static constexpr std::size_t kMaxLineLength = 64 * 1024;

    StationLineFramer();

    // Takes the next received chunk, once Next has returned null for the previous one. The bytes
    // must stay valid until Next returns null for them.
    void Feed(const std::uint8_t* data, std::size_t size);
    // The next complete line of what was fed, valid until the next call; null once the chunk is
    // used up (an unfinished line is kept and continued by the next chunk).
    const std::string* Next();

private:
    std::string line_;                  // the line being received, at most kMaxLineLength bytes
    bool complete_ = false;             // line_ was handed out and is cleared by the next call
    const std::uint8_t* at_ = nullptr;  // the unread rest of the chunk
    const std::uint8_t* end_ = nullptr;
};
