// Stops under load: a locomotive runs while the station has other work queued, and the client
// stops it. Measured: from the stop message until the station refreshes the stop for it, with
// ten other locomotives accelerating (a speed pending for each), and with another locomotive's
// five function groups pending (a throttle taken with every function on). Then, after a station
// reset with four locomotives running with their headlights on, from "E" until the track is on.
// Each figure is the median of several runs.
// Usage: bench_stop [--runs N]
#include "bench/BenchRig.hpp"
#include "bench/BenchTable.hpp"
#include "bench/LatencySamples.hpp"
#include "bench/LoopbackClient.hpp"
#include "sim/Rails.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::int32_t kLocoBase = 49152;
constexpr std::int32_t kRunning = 3;
constexpr auto kSettle = std::chrono::seconds(60);
const std::vector<std::int32_t> kOthers = {4, 5, 10, 27, 64, 100, 127, 1000, 2222, 3333};

std::string WithCheck(Rails::Packet packet, const char* letter) {
    std::uint8_t check = 0;
    for (std::uint8_t byte : packet)
        check ^= byte;
    packet.push_back(check);
    return std::string(letter) + Rails::Hex(packet);
}

Rails::Packet SpeedPacket(std::int32_t address, int step) {
    Rails::Packet packet = Rails::Address(address);
    packet.push_back(0x3F);
    packet.push_back(static_cast<std::uint8_t>(0x80 | step));
    return packet;
}

std::string Speed(std::int32_t address, int step) {
    return WithCheck(SpeedPacket(address, step), "Q ");
}

// The five function groups with every function on (or off), as a throttle sends them when taken.
std::vector<std::string> AllFunctions(std::int32_t address, bool on) {
    std::vector<std::string> messages;
    const std::uint8_t all = on ? 0xFF : 0x00;
    const std::vector<std::vector<std::uint8_t>> instructions = {
        {static_cast<std::uint8_t>(on ? 0x9F : 0x80)},
        {static_cast<std::uint8_t>(on ? 0xBF : 0xB0)},
        {static_cast<std::uint8_t>(on ? 0xAF : 0xA0)},
        {0xDE, all},
        {0xDF, all}};
    for (const auto& instruction : instructions) {
        Rails::Packet packet = Rails::Address(address);
        packet.insert(packet.end(), instruction.begin(), instruction.end());
        messages.push_back(WithCheck(packet, "S 01 "));
    }
    return messages;
}

double Seconds(Clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

class Stops {
public:
    Stops(BenchRig& rig, LoopbackClient& client) : rig_(rig), client_(client) {}

    bool Ask(const std::string& message) {
        std::string reply;
        if (client_.Request(message, reply) && reply == "O") return true;
        std::fprintf(stderr, "bench_stop: \"%s\" answered \"%s\"\n", message.c_str(),
                     reply.c_str());
        return false;
    }

    // Waits until the station refreshes step for address; false after kSettle.
    bool Holds(std::int32_t address, int step) {
        return rig_.Simulator().WaitForState(
            [&](const SimState& state) {
                const auto loco = state.locos.find(kLocoBase + address);
                return loco != state.locos.end() &&
                       Rails::Speed(address, loco->second) == SpeedPacket(address, step);
            },
            kSettle);
    }

    // Sends each message, then the stop for the running locomotive: seconds from the stop's
    // message to the stop on the rails. The running locomotive is set going again afterwards.
    bool StopAfter(const std::vector<std::string>& pending, double& seconds) {
        for (const std::string& message : pending) {
            if (!Ask(message)) return false;
        }
        const auto start = Clock::now();
        if (!Ask(Speed(kRunning, 0)) || !Holds(kRunning, 0)) return false;
        seconds = Seconds(Clock::now() - start);
        return Ask(Speed(kRunning, 40)) && Holds(kRunning, 40);
    }

private:
    BenchRig& rig_;
    LoopbackClient& client_;
};

std::string SecondsText(double seconds) {
    return BenchTable::Number(seconds, 3) + " s";
}

}  // namespace

int main(int argc, char* argv[]) {
    int runs = 5;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--runs") == 0) runs = std::atoi(argv[i + 1]);
    }

    BenchRig rig;
    std::string error;
    if (!rig.Start(error)) {
        std::fprintf(stderr, "bench_stop: %s\n", error.c_str());
        return 1;
    }
    LoopbackClient client(rig.Port());
    if (!client.Connected()) {
        std::fprintf(stderr, "bench_stop: cannot connect\n");
        return 1;
    }
    Stops stops(rig, client);
    if (!stops.Ask("E") || !stops.Ask(Speed(kRunning, 40)) || !stops.Holds(kRunning, 40)) {
        std::fprintf(stderr, "bench_stop: the locomotive did not start\n");
        return 1;
    }

    LatencySamples accelerating, functions, powerOn;
    int step = 2;
    constexpr std::int32_t kThrottle = 5000;
    for (int run = 0; run < runs; ++run) {
        // Ten locomotives accelerating: each has a new speed pending.
        std::vector<std::string> speeds;
        step = step >= 100 ? 2 : step + 10;
        for (std::int32_t address : kOthers)
            speeds.push_back(Speed(address, step));
        double seconds = 0;
        if (!stops.StopAfter(speeds, seconds)) return 1;
        accelerating.Add(seconds * 1e6);
        // A throttle with every function switched on (or, next time, off): 29 commands.
        double afterFunctions = 0;
        if (!stops.StopAfter(AllFunctions(kThrottle, run % 2 == 0), afterFunctions)) return 1;
        functions.Add(afterFunctions * 1e6);
        std::printf("bench_stop: run %d: accelerating %.3f s, functions %.3f s\n", run + 1, seconds,
                    afterFunctions);
        std::fflush(stdout);
    }

    // A reset with four locomotives running, their headlights on: "E" until the track is on.
    for (int run = 0; run < runs; ++run) {
        for (std::int32_t address : {6, 7, 8, 9}) {
            if (!stops.Ask(Speed(address, 20)) || !stops.Ask(AllFunctions(address, true)[0])) {
                return 1;
            }
        }
        if (!stops.Holds(9, 20)) {
            std::fprintf(stderr, "bench_stop: the four locomotives did not start\n");
            return 1;
        }
        // "E" once Railmux has begun to send the fresh station what it held: the application's
        // word must not wait for all of that.
        const std::size_t before = rig.Simulator().Commands().size();
        rig.Simulator().Reset();
        if (!rig.Simulator().WaitForCommands(before + 1, kSettle)) {
            std::fprintf(stderr, "bench_stop: nothing was sent to the reset station\n");
            return 1;
        }
        const auto start = Clock::now();
        if (!stops.Ask("E") || !rig.Simulator().WaitForState(
                                   [](const SimState& state) { return state.power; }, kSettle)) {
            std::fprintf(stderr, "bench_stop: \"E\" did not switch the track on\n");
            return 1;
        }
        const double seconds = Seconds(Clock::now() - start);
        powerOn.Add(seconds * 1e6);
        std::printf("bench_stop: reset run %d: E on the rails after %.3f s\n", run + 1, seconds);
        std::fflush(stdout);
        // Everything back on the fresh station before the next reset.
        if (!stops.Holds(kRunning, 40) || !stops.Holds(9, 20)) {
            const std::string console = ChildProgram::ReadFile(rig.PathFor("railmux.console"));
            std::printf(
                "bench_stop: the fresh station did not get the speeds back (%zu bytes of console): "
                "%s\n",
                console.size(),
                console.substr(console.size() > 6000 ? console.size() - 6000 : 0).c_str());
            std::fflush(stdout);
            return 1;
        }
    }

    const double acceleratingSeconds = accelerating.Median() / 1e6;
    const double functionsSeconds = functions.Median() / 1e6;
    const double powerOnSeconds = powerOn.Median() / 1e6;
    BenchTable::Add({"7 stop under load", "10 other locomotives accelerating: stop to the rails",
                     SecondsText(acceleratingSeconds), "-", "-", "<= 0.3 s",
                     BenchTable::Verdict(acceleratingSeconds <= 0.3)});
    BenchTable::Add({"7 stop under load", "another's 5 function groups pending: stop to the rails",
                     SecondsText(functionsSeconds), "-", "-", "<= 0.3 s",
                     BenchTable::Verdict(functionsSeconds <= 0.3)});
    BenchTable::Add({"7 stop under load", "reset with 4 locomotives: \"E\" to track power on",
                     SecondsText(powerOnSeconds), "-", "-", "<= 1.5 s",
                     BenchTable::Verdict(powerOnSeconds <= 1.5)});
    return 0;
}
