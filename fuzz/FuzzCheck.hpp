#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

// A broken invariant: says which and aborts, so that libFuzzer keeps the input as a crash and
// the corpus replay fails.
[[noreturn]] inline void FuzzFail(const char* file, int line, const std::string& what) {
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, what.c_str());
    std::abort();
}

#define FUZZ_CHECK(condition, what)                           \
    do {                                                      \
        if (!(condition)) FuzzFail(__FILE__, __LINE__, what); \
    } while (false)

// Text with every byte outside printable ASCII written as \xNN, for failure messages.
inline std::string Printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            out += escaped;
        }
    }
    return out;
}
