#include "app/CommandLine.hpp"

#include <cctype>
#include <limits>

std::int32_t ParseTcpPort(const char* text) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    while (std::isspace(*p))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = (*p++ == '-');
    // Accumulate in 64 bits and stop growing once past the 32-bit range, so any number of
    // digits is safe.
    const std::int64_t limit =
        negative ? -static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::min())
                 : std::numeric_limits<std::int32_t>::max();
    std::int64_t value = 0;
    for (; std::isdigit(*p); ++p) {
        if (value <= limit) value = value * 10 + (*p - '0');
    }
    if (value > limit) value = limit;
    return static_cast<std::int32_t>(negative ? -value : value);
}

std::string UpperCasePortName(const char* name) {
    std::string upper(name);
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return upper;
}
