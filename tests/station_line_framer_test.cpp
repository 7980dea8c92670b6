#include "station/StationLineFramer.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

// The lines handed out for the chunks, fed one after the other.
std::vector<std::string> Frame(StationLineFramer& framer, const std::vector<std::string>& chunks) {
    std::vector<std::string> lines;
    for (const std::string& chunk : chunks) {
        framer.Feed(reinterpret_cast<const std::uint8_t*>(chunk.data()), chunk.size());
        while (const std::string* line = framer.Next())
            lines.push_back(*line);
    }
    return lines;
}

struct FramingCase {
    const char* name;
    std::vector<std::string> chunks;
    std::vector<std::string> lines;
};

TEST(StationLineFramer, CutsLinesAtLineFeedsWhateverTheChunks) {
    const std::string nul("a\0b\n", 4);
    const FramingCase cases[] = {
        {"CR LF line keeps its CR", {"200 Ok\r\n"}, {"200 Ok\r"}},
        {"LF only", {"200 Ok\n"}, {"200 Ok"}},
        {"split inside the code", {"2", "00 Ok\r", "\n"}, {"200 Ok\r"}},
        {"split between CR and LF", {"200 Ok\r", "\n201\n"}, {"200 Ok\r", "201"}},
        {"several lines in one read",
         {"Init SD card...OK\r\n100 Ready\r\n201 Busy\r\n"},
         {"Init SD card...OK\r", "100 Ready\r", "201 Busy\r"}},
        {"a read that ends inside the next line",
         {"200 Ok\r\n@CV,1", ",2\r\n"},
         {"200 Ok\r", "@CV,1,2\r"}},
        // Whatever came before the first line feed (noise from the reset, the end of a line
        // sent before the port opened) is a line of its own and leaves the next one intact.
        {"leading garbage",
         {"\xff\xfe~#%", "garbage\r\n200 Ok\r\n"},
         {"\xff\xfe~#%garbage\r", "200 Ok\r"}},
        {"empty lines", {"\n\r\n\n"}, {"", "\r", ""}},
        {"NUL is an ordinary byte", {nul}, {std::string("a\0b", 3)}},
        {"unfinished line is not handed out", {"201 Busy\n", "200 Ok"}, {"201 Busy"}},
        {"empty chunks", {"", "200", "", " Ok\n", ""}, {"200 Ok"}},
    };
    for (const FramingCase& c : cases) {
        StationLineFramer framer;
        EXPECT_EQ(Frame(framer, c.chunks), c.lines) << c.name;
    }
}

TEST(StationLineFramer, ALineLongerThanAnyReadArrivesWhole) {
    const std::string line = "@CV," + std::string(3000, 'x');
    const std::string stream = line + "\n";
    std::vector<std::string> chunks;
    for (std::size_t at = 0; at < stream.size(); at += 1024)
        chunks.push_back(stream.substr(at, 1024));
    StationLineFramer framer;
    EXPECT_EQ(Frame(framer, chunks), std::vector<std::string>{line});
}

TEST(StationLineFramer, AnOverlongLineIsCutAndTheNextLineIsIntact) {
    const std::size_t cap = StationLineFramer::kMaxLineLength;
    struct OverlongCase {
        const char* name;
        std::size_t length;  // of the line before its line feed
        std::size_t chunk;
    };
    const OverlongCase cases[] = {
        {"exactly the cap", cap, 1024},
        {"one byte over", cap + 1, 1024},
        {"far over, in reads", 5 * cap, 1000},
        {"far over, in one read", 3 * cap, 10 * cap},
    };
    for (const OverlongCase& c : cases) {
        std::string head(c.length, 'b');
        head[0] = '7';
        const std::string stream = head + "\n201 Busy\r\n";
        std::vector<std::string> chunks;
        for (std::size_t at = 0; at < stream.size(); at += c.chunk)
            chunks.push_back(stream.substr(at, c.chunk));
        StationLineFramer framer;
        EXPECT_EQ(Frame(framer, chunks),
                  (std::vector<std::string>{head.substr(0, cap), "201 Busy\r"}))
            << c.name;
    }
}

}  // namespace
