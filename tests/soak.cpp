// Soak run: random client messages, reconnects and station delays against Railmux and the
// simulator for a given time, checking that every message is answered and that resident memory
// stays flat. Usage: soak SECONDS (exit code 0 when both hold).
#include "sim/DSAir2Simulator.hpp"
#include "tests/support/ChildProcess.hpp"
#include "tests/support/TcpClient.hpp"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

long ResidentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

// How often text occurs in a file (Railmux's console).
long Occurrences(const std::string& path, const std::string& text) {
    std::ifstream in(path);
    std::string line;
    long n = 0;
    while (std::getline(in, line))
        n += line.find(text) != std::string::npos ? 1 : 0;
    return n;
}

std::string Hex2(unsigned v) {
    char b[3];
    std::snprintf(b, sizeof b, "%02X", v & 0xFF);
    return b;
}

// One random message, mostly well formed, some not.
std::string RandomMessage(std::mt19937& r) {
    const unsigned kind = r() % 10;
    const unsigned address = 1 + r() % 10;
    switch (kind) {
        case 0:
        case 1:
        case 2: {  // 128-step speed, short address
            const unsigned speed = r() % 256;
            return "Q " + Hex2(address) + " 3F " + Hex2(speed) + " " + Hex2(address ^ 0x3F ^ speed);
        }
        case 3: {  // functions F0-F4
            const unsigned group = 0x80 | (r() % 32);
            return "S 01 " + Hex2(address) + " " + Hex2(group) + " " + Hex2(address ^ group);
        }
        case 4:
            return r() % 2 ? "E" : "K";
        case 5:
            return "R 00" + std::to_string(1 + r() % 8);
        case 6:
            return "D 00 " + Hex2(address);
        case 7: {  // garbage of printable bytes
            std::string g(1 + r() % 40, ' ');
            for (char& c : g)
                c = static_cast<char>(0x20 + r() % 0x5F);
            return g;
        }
        default: {
            const char* fixed[] = {"V", "C", "F", "X", "M", "GD 01", "L 0003"};
            return fixed[r() % 7];
        }
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 600;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    SimOptions options;
    options.linkPath = "/tmp/railmux-soak-" + std::to_string(::getpid());
    DSAir2Simulator sim(options);
    std::string error;
    if (!sim.Start(error)) {
        std::fprintf(stderr, "soak: simulator: %s\n", error.c_str());
        return 1;
    }
    // Railmux's console goes to a file so that the soak measures Railmux, not a pipe reader.
    const std::string console = "/tmp/railmux-soak-" + std::to_string(::getpid()) + ".log";
    std::uint16_t port = 0;
    std::unique_ptr<ChildProcess> started;
    // The port was free a moment ago; should another program take it first, Railmux ends with
    // "error code 98" and starts again on another.
    for (int attempt = 0; attempt < 5; ++attempt) {
        port = FreeTcpPort();
        started = std::make_unique<ChildProcess>(
            std::vector<std::string>{"/bin/sh", "-c",
                                     std::string("exec ") + RAILMUX_BIN + " " + options.linkPath +
                                         " " + std::to_string(port) + " >" + console + " 2>&1"});
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (Occurrences(console, "TCP server started") == 0 && started->Wait(0ms) == -1 &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(10ms);
        }
        if (Occurrences(console, "error code 98.") == 0) break;
    }
    ChildProcess& railmux = *started;
    std::mt19937 random(20261210);
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::seconds(seconds);
    long sent = 0, answered = 0, reconnects = 0;
    long baselineKiB = -1, peakKiB = 0;
    auto nextSample = start + 30s;
    bool failed = false;

    while (std::chrono::steady_clock::now() < end && !failed) {
        TcpClient client(port);
        if (!client.Connected()) {
            std::fprintf(stderr, "soak: cannot connect\n");
            failed = true;
            break;
        }
        ++reconnects;
        sim.SetReplyDelay(std::chrono::milliseconds(random() % 4 == 0 ? random() % 40 : 0));
        const int batch = 1 + static_cast<int>(random() % 50);
        for (int i = 0; i < batch && std::chrono::steady_clock::now() < end; ++i) {
            const std::string message = RandomMessage(random);
            if (!client.Send(message + "\r")) break;
            ++sent;
            std::string reply = client.ReadReplies(1, 30s);
            // A CV read's answer is two lines, which may arrive in one read or two.
            if (reply.rfind("CV", 0) == 0 && std::count(reply.begin(), reply.end(), '\r') < 2) {
                reply += client.ReadReplies(1, 30s);
            }
            if (reply.empty() || reply.back() != '\r') {
                std::fprintf(stderr, "soak: no reply to \"%s\"\n", message.c_str());
                failed = true;
                break;
            }
            ++answered;
        }
        if (random() % 5 == 0) {
            client.Reset();
        } else {
            client.Close();
        }
        // The next client connects at once: a connection that has ended never stands in its way.

        if (std::chrono::steady_clock::now() >= nextSample) {
            const long kib = ResidentKiB(railmux.Pid());
            if (baselineKiB < 0) baselineKiB = kib;
            peakKiB = std::max(peakKiB, kib);
            std::printf("soak: %3lld s  messages %ld answered %ld  connections %ld  RSS %ld KiB\n",
                        static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(
                                                   std::chrono::steady_clock::now() - start)
                                                   .count()),
                        sent, answered, reconnects, kib);
            nextSample += 30s;
        }
    }

    const long finalKiB = ResidentKiB(railmux.Pid());
    railmux.Signal(SIGINT);
    const int code = railmux.Wait(60s);
    // Every client came straight after the one before; none may have been taken for a second.
    const long denied = Occurrences(console, "Already connected.");
    ::unlink(console.c_str());
    // Flat: no more than 512 KiB above the first sample (allocator noise), none after it.
    const bool flat = baselineKiB < 0 || finalKiB <= baselineKiB + 512;
    std::printf(
        "soak: %ld messages, %ld answered, %ld connections, %ld denied; RSS first %ld KiB, peak "
        "%ld KiB, last %ld KiB; exit code %d\n",
        sent, answered, reconnects, denied, baselineKiB, peakKiB, finalKiB, code);
    if (failed || sent != answered || denied != 0 || !flat || code != 0) {
        std::printf("soak: FAILED\n");
        return 1;
    }
    std::printf("soak: passed\n");
    return 0;
}
