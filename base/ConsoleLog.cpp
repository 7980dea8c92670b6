#include "base/ConsoleLog.hpp"

#include "base/WriteAll.hpp"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

namespace {

constexpr int kStdout = 1;

// Both are never destroyed: the serial I/O thread may still log a station line while static
// destruction runs at exit, after these would have gone.
std::mutex& ConsoleMutex() {
    static std::mutex* const mutex = new std::mutex;
    return *mutex;
}

ConsoleSink& Sink() {
    static ConsoleSink* const sink = new ConsoleSink;
    return *sink;
}

}  // namespace

void ConsoleLog(const char* format, ...) {
    // Most lines fit the stack buffer; a longer one (a long client message) is formatted again
    // into a string of the right size.
    char stackBuffer[512];
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(stackBuffer, sizeof stackBuffer, format, args);
    va_end(args);
    if (length < 0) return;

    const char* text = stackBuffer;
    std::string large;
    if (static_cast<std::size_t>(length) >= sizeof stackBuffer) {
        large.resize(static_cast<std::size_t>(length) + 1);
        va_start(args, format);
        std::vsnprintf(&large[0], large.size(), format, args);
        va_end(args);
        text = large.data();
    }

    std::lock_guard<std::mutex> lock(ConsoleMutex());
    if (Sink()) {
        Sink()(text, static_cast<std::size_t>(length));
    } else {
        // One write per call: no stdio buffer to flush and nothing held back in a pipe.
        WriteAll(kStdout, text, static_cast<std::size_t>(length));
    }
}

void SetConsoleSink(ConsoleSink sink) {
    std::lock_guard<std::mutex> lock(ConsoleMutex());
    Sink() = std::move(sink);
}
