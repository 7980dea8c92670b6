#pragma once

#include <cstdint>
#include <string>

// The TCP port when none is given, and the range a given one must lie in.
constexpr std::int32_t kDefaultTcpPort = 11009;
constexpr std::int32_t kMinTcpPort = 1024;
constexpr std::int32_t kMaxTcpPort = 65535;

// Reads text as the C library's atoi does (leading white space, optional sign, decimal digits up
// to the first other character; 0 without digits), but clamps a value beyond 32 bits to the
// largest or smallest 32-bit value instead of leaving it undefined.
std::int32_t ParseTcpPort(const char* text);

// The COM port name as "Failed to connect to DSAir2 on %s." shows it: every a-z upper-cased,
// nothing else changed. The station link gets the name as typed.
std::string UpperCasePortName(const char* name);

// The command line sorted into what it asks for. Options may stand before, between or after the
// positional arguments ComPort [TCPPort]; positional arguments after those two are ignored.
struct CommandLine {
    enum class Action {
        kRun,
        kUsage,     // no argument at all
        kHelp,      // -h or --help
        kVersion,   // --version
        kBadUsage,  // an unknown "--" option, --listen without an address, no ComPort, or a
                    // ComPort that begins with "-"
    };

    // Reads argv[1] to argv[argc - 1]; the texts must outlive the result.
    static CommandLine Parse(int argc, const char* const argv[]);

    Action action = Action::kUsage;
    const char* comPort = nullptr;  // the first positional argument
    const char* tcpPort = nullptr;  // the second, if given
    const char* listen = nullptr;   // the address of --listen ADDRESS (or --listen=ADDRESS)
};
