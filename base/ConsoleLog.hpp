#pragma once

// Peer text goes into the log through ShownText.
#include "base/ShownText.hpp"

#include <cstddef>
#include <functional>

// The printf whose formats the compiler checks: on mingw-w64 the C++ library's own (ANSI) one,
// which knows %zu and %lld, rather than the Microsoft runtime's.
#ifdef __MINGW32__
#include <cstdio>
#define RAILMUX_PRINTF __MINGW_PRINTF_FORMAT
#else
#define RAILMUX_PRINTF printf
#endif

// The program's log: printf-style, writes the formatted text to standard output and adds
// nothing (every format carries its own "\n"). Each call reaches the output in one piece and
// without delay, so lines from different threads never interleave and a pipe or the system
// journal sees them at once. While a ConsoleWriter lives the call only queues the text and
// never blocks; otherwise it writes the text itself.
void ConsoleLog(const char* format, ...) __attribute__((format(RAILMUX_PRINTF, 1, 2)));

// A printf-style log function as the station link holds it; may be null (prints nothing).
using LogFunction = void (*)(const char* format, ...);

// Where formatted console text goes instead of standard output (tests, benchmarks, the
// ConsoleWriter). The sink is called under the console lock with the text of one ConsoleLog
// call. An empty sink restores direct writes to standard output.
using ConsoleSink = std::function<void(const char* text, std::size_t size)>;
void SetConsoleSink(ConsoleSink sink);
