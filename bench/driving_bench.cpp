// Sustained driving: one client changes the speeds of 10 locomotives in turn, each message
// waiting for its reply, for a set time. Every message changes one speed; the station protocol
// caps the rate of commands: one at a time, 100 ms after the latest status line, plus the
// station's answer time (measured here on a second simulated station with the same command).
// Usage: bench_driving [--seconds N]
#include "bench/BenchRig.hpp"
#include "bench/BenchTable.hpp"
#include "bench/DirectStationLine.hpp"
#include "bench/LatencySamples.hpp"
#include "bench/LoopbackClient.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::int32_t kLocoBase = 49152;
// Eight short and two long addresses.
const std::int32_t kDriven[] = {3, 4, 5, 10, 27, 64, 100, 127, 1000, 2222};

// A 128-step forward speed packet for address at step (2-127), in the short or the long form.
std::string SpeedPacket(std::int32_t address, int step) {
    const unsigned speed = 0x80u | static_cast<unsigned>(step);
    char text[32];
    if (address < 128) {
        const unsigned b1 = static_cast<unsigned>(address), b2 = 0x3F;
        std::snprintf(text, sizeof text, "Q %02X %02X %02X %02X", b1, b2, speed, b1 ^ b2 ^ speed);
    } else {
        const unsigned b1 = 0xC0u | (static_cast<unsigned>(address) >> 8);
        const unsigned b2 = static_cast<unsigned>(address) & 0xFF, b3 = 0x3F;
        std::snprintf(text, sizeof text, "Q %02X %02X %02X %02X %02X", b1, b2, b3, speed,
                      b1 ^ b2 ^ b3 ^ speed);
    }
    return text;
}

// The station address in a "setLocoSpeed(a,s,m)" or "setLocoDirection(a,d)" line; -1 for any
// other command.
std::int32_t LocoAddress(const std::string& command) {
    for (const char* name : {"setLocoSpeed(", "setLocoDirection(", "setLocoFunction("}) {
        if (command.compare(0, std::strlen(name), name) == 0) {
            return std::atoi(command.c_str() + std::strlen(name));
        }
    }
    return -1;
}

// The station protocol without Railmux, on a second simulated station: first the answer time of
// one speed command (write to status line), then, on a thread of its own and in the same window
// as Railmux, the same commands at the protocol's own limit: each written 100 ms after the
// previous status line. This shows what the machine, as loaded as it is during the run, lets
// that limit come to.
class DirectDriver {
public:
    bool Start(std::string& error) {
        SimOptions options;
        options.verbose = false;
        station_ = std::make_unique<DSAir2Simulator>(options);
        if (!station_->Start(error) || !line_.Open(station_->Path(), error)) return false;
        LatencySamples samples;
        for (int i = 0; i < 200; ++i) {
            const auto start = Clock::now();
            if (!line_.RoundTrip(Command(i), "200 Ok")) {
                error = "the direct station did not answer";
                return false;
            }
            samples.Add(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
        answerMicros_ = samples.Median();
        return true;
    }
    double AnswerMicros() const { return answerMicros_; }

    void Drive(Clock::time_point end) {
        thread_ = std::thread([this, end] {
            auto next = Clock::now();
            while (next < end) {
                std::this_thread::sleep_until(next);
                if (!line_.RoundTrip(Command(commands_), "200 Ok")) return;
                ++commands_;
                next = Clock::now() + std::chrono::milliseconds(100);
            }
        });
    }
    // Joins the thread; the commands it got answered.
    long Finish() {
        if (thread_.joinable()) thread_.join();
        return commands_;
    }

private:
    static std::string Command(long i) {
        return "setLocoSpeed(49155," + std::to_string(16 + i % 1000) + ",2)";
    }

    std::unique_ptr<DSAir2Simulator> station_;
    DirectStationLine line_;
    double answerMicros_ = 0;
    long commands_ = 0;
    std::thread thread_;
};

}  // namespace

int main(int argc, char* argv[]) {
    int seconds = 20;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atoi(argv[i + 1]);
    }

    DirectDriver direct;
    std::string error;
    if (!direct.Start(error)) {
        std::fprintf(stderr, "bench_driving: direct station: %s\n", error.c_str());
        return 1;
    }
    const double answerMicros = direct.AnswerMicros();

    BenchRig rig;
    if (!rig.Start(error)) {
        std::fprintf(stderr, "bench_driving: %s\n", error.c_str());
        return 1;
    }
    LoopbackClient client(rig.Port());
    if (!client.Connected()) {
        std::fprintf(stderr, "bench_driving: cannot connect\n");
        return 1;
    }
    std::printf("bench_driving: 10 locomotives for %d s\n", seconds);
    std::fflush(stdout);

    const std::size_t commandsBefore = rig.Simulator().Commands().size();
    const std::size_t locoCount = sizeof kDriven / sizeof kDriven[0];
    std::string reply;
    long messages = 0;
    LatencySamples roundTrips;
    const auto start = Clock::now();
    const auto end = start + std::chrono::seconds(seconds);
    direct.Drive(end);
    while (Clock::now() < end) {
        const auto sent = Clock::now();
        const std::int32_t address = kDriven[messages % locoCount];
        // Each round moves every locomotive to the next step, so every message is a change.
        const int step = 2 + static_cast<int>((messages / locoCount) % 126);
        if (!client.Request(SpeedPacket(address, step), reply) || reply != "O") {
            std::fprintf(stderr, "bench_driving: message %ld failed (\"%s\")\n", messages,
                         reply.c_str());
            return 1;
        }
        const double micros =
            std::chrono::duration<double, std::micro>(Clock::now() - sent).count();
        roundTrips.Add(micros);
        ++messages;
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const long directCommands = direct.Finish();
    const double directElapsed = std::chrono::duration<double>(Clock::now() - start).count();

    const std::vector<std::string> commands = rig.Simulator().Commands();
    const std::set<std::int32_t> driven(std::begin(kDriven), std::end(kDriven));
    long locoCommands = 0, foreign = 0;
    for (std::size_t i = commandsBefore; i < commands.size(); ++i) {
        const std::int32_t address = LocoAddress(commands[i]);
        if (address >= 0 && driven.count(address - kLocoBase) != 0) {
            ++locoCommands;
        } else {
            ++foreign;
            if (foreign <= 5) {
                std::fprintf(stderr, "bench_driving: unexpected command \"%s\"\n",
                             commands[i].c_str());
            }
        }
    }

    const double rate = static_cast<double>(locoCommands) / elapsed;
    const double limit = 1.0 / (0.100 + answerMicros / 1e6);
    const double share = rate / limit;
    BenchTable::Add({"3 sustained driving", "station commands per second",
                     BenchTable::Number(rate, 3),
                     BenchTable::Number(limit, 3) + " (1 / (100 ms + " +
                         BenchTable::Micros(answerMicros) + "))",
                     BenchTable::Number(share * 100.0, 1) + " %", ">= 95 %",
                     BenchTable::Verdict(share >= 0.95)});
    BenchTable::Add({"3 sustained driving", "the same limit, driven directly in the same window",
                     BenchTable::Number(rate, 3),
                     BenchTable::Number(directCommands / directElapsed, 3) + " (" +
                         std::to_string(directCommands) + " commands)",
                     BenchTable::Number(rate / (directCommands / directElapsed) * 100.0, 1) + " %",
                     "-", "-"});
    BenchTable::Add({"3 sustained driving", "message round trip median / p99",
                     BenchTable::Micros(roundTrips.Median()) + " / " +
                         BenchTable::Micros(roundTrips.Percentile(0.99)),
                     BenchTable::Micros(100000.0 + answerMicros) + " (100 ms + answer)", "-", "-",
                     "-"});
    // Messages are answered at once and speeds overtaken before they are written are never
    // sent, so there are far more messages than commands.
    BenchTable::Add({"3 sustained driving", "messages answered / commands sent",
                     std::to_string(messages) + " / " + std::to_string(locoCommands), "-", "-", "-",
                     "-"});
    BenchTable::Add({"3 sustained driving", "commands for addresses not driven",
                     std::to_string(foreign), "-", "-", "0", BenchTable::Verdict(foreign == 0)});
    return 0;
}
