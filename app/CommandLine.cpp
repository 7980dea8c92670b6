#include "app/CommandLine.hpp"

#include <cctype>
#include <cstring>
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

CommandLine CommandLine::Parse(int argc, const char* const argv[]) {
    CommandLine line;
    if (argc < 2) return line;

    bool help = false;
    bool version = false;
    bool bad = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0) {
            help = true;
        } else if (std::strcmp(arg, "--version") == 0) {
            version = true;
        } else if (std::strcmp(arg, "--listen") == 0) {
            if (i + 1 < argc) {
                line.listen = argv[++i];
            } else {
                bad = true;
            }
        } else if (std::strncmp(arg, "--listen=", 9) == 0) {
            line.listen = arg + 9;
        } else if (std::strncmp(arg, "--", 2) == 0) {
            bad = true;
        } else if (line.comPort == nullptr) {
            line.comPort = arg;
        } else if (line.tcpPort == nullptr) {
            // Read as a number even when it begins with "-": "-5" is an invalid port.
            line.tcpPort = arg;
        }
    }

    if (bad) {
        line.action = Action::kBadUsage;
    } else if (help) {
        line.action = Action::kHelp;
    } else if (version) {
        line.action = Action::kVersion;
    } else if (line.comPort == nullptr || line.comPort[0] == '-') {
        line.action = Action::kBadUsage;
    } else {
        line.action = Action::kRun;
    }
    return line;
}
