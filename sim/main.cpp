// dsair2-sim: a simulated DSAir2 command station on a pseudo-terminal, for trying Railmux
// without hardware and for exercising its faults. For every command it prints what the rails
// now carry for the locomotive or accessory concerned.
#include "sim/DSAir2Simulator.hpp"

#include <signal.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void Usage(std::FILE* out) {
    std::fputs(
        "Usage: dsair2-sim [options] LINKPATH\n"
        "Simulates a DSAir2 command station on a pseudo-terminal reachable as LINKPATH\n"
        "(a symbolic link, e.g. /tmp/DSAIR2; then run: railmux /tmp/DSAIR2).\n"
        "\n"
        "Options:\n"
        "  --real-timings       answer with the real device's delays (boot 1.5 s, power on\n"
        "                       0.36 s, CV write 0.65 s, CV read 1.6 s, 5 s without an\n"
        "                       answer from the decoder)\n"
        "  --no-ready           boot banner without the \"100 Ready\" notice\n"
        "  --delay MS           extra delay before every reply\n"
        "  --lf-only            end lines with LF instead of CR LF\n"
        "  --byte-by-byte       deliver every byte in a write of its own\n"
        "  --garbage            send a garbage line before each reply\n"
        "  --hang-up-after N    vanish like an unplugged station after answering N commands\n"
        "  --replug-after MS    once vanished, come back MS later as a freshly booted station\n"
        "                       under the same LINKPATH\n"
        "  --reset-after N      reset (boot banner, \"100 Ready\", state forgotten) after\n"
        "                       answering N commands\n"
        "  --stop-reading-after N\n"
        "                       stop taking bytes after answering N commands: the opener's\n"
        "                       writes block until it opens the device anew\n"
        "  --wireless-window MS a wireless card is fitted: unless a command arrives within\n"
        "                       MS of the boot, the serial line is ignored until a reset\n"
        "  --supply-voltage VOLTS\n"
        "                       the track supply (default 14.8); below about 9 V or above\n"
        "                       20 V the station reports an error and switches the track off\n"
        "  --short-after MS     a short circuit on the track MS after it is first switched\n"
        "                       on: the station switches the track off by itself (error 8)\n"
        "  --status NAME=CODE   answer command NAME (e.g. setPower) with status CODE instead;\n"
        "                       0: no answer at all (repeatable)\n"
        "  --lose NAME[:N]      lose the next N (default 1) command lines named NAME (e.g.\n"
        "                       setLocoSpeed) on the line: neither carried out nor answered\n"
        "                       (repeatable)\n"
        "  --state FILE         keep an account of the station's state in FILE: a line\n"
        "                       with power, locomotives (with the packet each one's speed\n"
        "                       puts on the rails, or \"undefined\"), accessories, decoders\n"
        "                       that run on without an entry and CVs, and a line\n"
        "                       \"rails: ..\" with the packet of the latest command\n"
        "  --quiet              do not print the commands received\n"
        "  -h, --help           show this text\n"
        "\n"
        "The station's list holds 20 entries (locomotive 3 after a boot, one per locomotive\n"
        "named by setLocoDirection or setLocoFunction, one per accessory command for two\n"
        "refresh rounds); a full list overwrites its first entry, and a setLocoSpeed for a\n"
        "locomotive without an entry makes one with an undefined packet: both reported.\n"
        "\n"
        "While running: SIGUSR1 unplugs the station, or plugs it in again when it is\n"
        "unplugged; SIGUSR2 resets it; SIGHUP causes a short circuit on the track (taken at\n"
        "the station's next check with the track on). SIGINT or SIGTERM ends the simulator.\n",
        out);
}

bool ParseInt(const char* text, long low, long high, int& value) {
    errno = 0;
    char* end = nullptr;
    const long parsed = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || parsed < low || parsed > high) return false;
    value = static_cast<int>(parsed);
    return true;
}

// Volts with at most one decimal, as the station's status line shows them (three digits).
bool ParseVolts(const char* text, double& volts) {
    errno = 0;
    char* end = nullptr;
    const double parsed = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(parsed >= 0 && parsed < 99.95)) {
        return false;
    }
    volts = parsed;
    return true;
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "dsair2-sim: %s\n", message.c_str());
    Usage(stderr);
    return 2;
}

}  // namespace

int main(int argc, char* argv[]) {
    SimOptions options;
    options.verbose = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        int number = 0;
        if (arg == "-h" || arg == "--help") {
            Usage(stdout);
            return 0;
        } else if (arg == "--real-timings") {
            options.realTimings = true;
        } else if (arg == "--no-ready") {
            options.sendReady = false;
        } else if (arg == "--lf-only") {
            options.lfOnly = true;
        } else if (arg == "--byte-by-byte") {
            options.byteByByte = true;
        } else if (arg == "--garbage") {
            options.garbage = true;
        } else if (arg == "--quiet") {
            options.verbose = false;
        } else if (arg == "--delay" && hasValue) {
            if (!ParseInt(argv[++i], 0, INT_MAX, number))
                return Fail(std::string("bad --delay ") + argv[i]);
            options.replyDelay = std::chrono::milliseconds(number);
        } else if (arg == "--hang-up-after" && hasValue) {
            if (!ParseInt(argv[++i], 0, INT_MAX, number)) {
                return Fail(std::string("bad --hang-up-after ") + argv[i]);
            }
            options.hangUpAfter = number;
        } else if (arg == "--replug-after" && hasValue) {
            if (!ParseInt(argv[++i], 0, INT_MAX, number)) {
                return Fail(std::string("bad --replug-after ") + argv[i]);
            }
            options.replugAfter = std::chrono::milliseconds(number);
        } else if (arg == "--reset-after" && hasValue) {
            if (!ParseInt(argv[++i], 0, INT_MAX, number)) {
                return Fail(std::string("bad --reset-after ") + argv[i]);
            }
            options.resetAfter = number;
        } else if (arg == "--stop-reading-after" && hasValue) {
            if (!ParseInt(argv[++i], 0, INT_MAX, number)) {
                return Fail(std::string("bad --stop-reading-after ") + argv[i]);
            }
            options.stopReadingAfter = number;
        } else if (arg == "--wireless-window" && hasValue) {
            if (!ParseInt(argv[++i], 1, INT_MAX, number)) {
                return Fail(std::string("bad --wireless-window ") + argv[i]);
            }
            options.listenWindow = std::chrono::milliseconds(number);
        } else if (arg == "--status" && hasValue) {
            const std::string assignment = argv[++i];
            const std::size_t equals = assignment.find('=');
            if (equals == 0 || equals == std::string::npos ||
                !ParseInt(assignment.c_str() + equals + 1, 0, 999, number)) {
                return Fail("bad --status " + assignment + " (want NAME=CODE)");
            }
            options.statusFor[assignment.substr(0, equals)] = number;
        } else if (arg == "--supply-voltage" && hasValue) {
            if (!ParseVolts(argv[++i], options.supplyVoltage)) {
                return Fail(std::string("bad --supply-voltage ") + argv[i] + " (want 0 to 99.9)");
            }
        } else if (arg == "--short-after" && hasValue) {
            if (!ParseInt(argv[++i], 0, INT_MAX, number)) {
                return Fail(std::string("bad --short-after ") + argv[i]);
            }
            options.shortAfter = std::chrono::milliseconds(number);
        } else if (arg == "--lose" && hasValue) {
            const std::string request = argv[++i];
            const std::size_t colon = request.find(':');
            number = 1;
            if (colon == 0 || request.empty() ||
                (colon != std::string::npos &&
                 !ParseInt(request.c_str() + colon + 1, 1, INT_MAX, number))) {
                return Fail("bad --lose " + request + " (want NAME or NAME:N)");
            }
            options.lose[request.substr(0, colon)] += number;
        } else if (arg == "--state" && hasValue) {
            options.stateFile = argv[++i];
        } else if (!arg.empty() && arg[0] == '-') {
            return Fail("unknown or incomplete option " + arg);
        } else if (options.linkPath.empty()) {
            options.linkPath = arg;
        } else {
            return Fail("more than one LINKPATH");
        }
    }
    if (options.linkPath.empty()) return Fail("LINKPATH missing");

    // Blocked before the simulator's thread starts, so that only sigwait below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGUSR1);
    sigaddset(&stopSignals, SIGUSR2);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    DSAir2Simulator simulator(options);
    std::string error;
    if (!simulator.Start(error)) {
        std::fprintf(stderr, "dsair2-sim: cannot start: %s\n", error.c_str());
        return 1;
    }
    std::printf("dsair2-sim: simulated DSAir2 on %s, linked as %s\n",
                simulator.DeviceName().c_str(), simulator.Path().c_str());
    std::fflush(stdout);

    int received = 0;
    for (;;) {
        sigwait(&stopSignals, &received);
        if (received == SIGUSR1) {
            if (simulator.Plugged()) {
                simulator.Unplug();
            } else if (!simulator.Replug(error)) {
                std::fprintf(stderr, "dsair2-sim: cannot plug in again: %s\n", error.c_str());
            }
        } else if (received == SIGUSR2) {
            simulator.Reset();
        } else if (received == SIGHUP) {
            simulator.ShortCircuit();
        } else {
            break;
        }
    }
    std::printf("dsair2-sim: stopped by %s\n", received == SIGINT ? "SIGINT" : "SIGTERM");
    std::fflush(stdout);
    return 0;
}
