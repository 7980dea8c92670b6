// Throttle drags: a client drags a speed slider over 30 steps, each message sent when the
// previous one is answered, for one locomotive and for ten at once (one message per locomotive
// and step, in turn). Measured: the time from the first message until the station holds the last
// step of every locomotive, and, in the middle of a ten-locomotive drag, the time a "K" takes to
// switch the station's track off. Each figure is the median of several drags.
// Usage: bench_drag [--runs N]
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
constexpr int kSteps = 30;
// Long enough for the slowest program compared; a drag that never ends fails the run.
constexpr auto kSettle = std::chrono::seconds(120);
const std::vector<std::int32_t> kOne = {3};
const std::vector<std::int32_t> kTen = {3, 4, 5, 10, 27, 64, 100, 127, 1000, 2222};

Rails::Packet Packet(std::int32_t address, int step) {
    Rails::Packet packet = Rails::Address(address);
    packet.push_back(0x3F);
    packet.push_back(static_cast<std::uint8_t>(0x80 | step));
    return packet;
}

std::string Message(std::int32_t address, int step) {
    Rails::Packet packet = Packet(address, step);
    std::uint8_t check = 0;
    for (std::uint8_t byte : packet)
        check ^= byte;
    packet.push_back(check);
    return "Q " + Rails::Hex(packet);
}

double Seconds(Clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

class Drags {
public:
    Drags(BenchRig& rig, LoopbackClient& client) : rig_(rig), client_(client) {}

    bool Ask(const std::string& message, const std::string& expected) {
        std::string reply;
        if (client_.Request(message, reply) && reply == expected) return true;
        std::fprintf(stderr, "bench_drag: \"%s\" answered \"%s\"\n", message.c_str(),
                     reply.c_str());
        return false;
    }

    // Waits until the station refreshes step for every locomotive; false after kSettle.
    bool Holds(const std::vector<std::int32_t>& locos, int step) {
        return rig_.Simulator().WaitForState(
            [&](const SimState& state) {
                for (std::int32_t address : locos) {
                    const auto loco = state.locos.find(kLocoBase + address);
                    if (loco == state.locos.end() ||
                        Rails::Speed(address, loco->second) != Packet(address, step)) {
                        return false;
                    }
                }
                return true;
            },
            kSettle);
    }

    // One drag from the step the locomotives hold to target; with powerOffAt >= 0, "K" goes
    // after that many messages and the time until the track is off is returned in powerOff.
    bool Drag(const std::vector<std::int32_t>& locos, int from, int target, double& seconds,
              int powerOffAt = -1, double* powerOff = nullptr) {
        const int direction = target > from ? 1 : -1;
        int sent = 0;
        const auto start = Clock::now();
        for (int step = from + direction; step != target + direction; step += direction) {
            for (std::int32_t address : locos) {
                if (sent++ == powerOffAt) {
                    const auto off = Clock::now();
                    if (!Ask("K", "O")) return false;
                    if (!rig_.Simulator().WaitForState([](const SimState& s) { return !s.power; },
                                                       kSettle)) {
                        return false;
                    }
                    *powerOff = Seconds(Clock::now() - off);
                }
                if (!Ask(Message(address, step), "O")) return false;
            }
        }
        if (!Holds(locos, target)) return false;
        seconds = Seconds(Clock::now() - start);
        return true;
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
        std::fprintf(stderr, "bench_drag: %s\n", error.c_str());
        return 1;
    }
    LoopbackClient client(rig.Port());
    if (!client.Connected()) {
        std::fprintf(stderr, "bench_drag: cannot connect\n");
        return 1;
    }
    Drags drags(rig, client);

    // Every locomotive going forward at step 2 first: the drags change speeds only.
    for (std::int32_t address : kTen) {
        if (!drags.Ask(Message(address, 2), "O")) return 1;
    }
    if (!drags.Holds(kTen, 2) || !drags.Ask("E", "O")) {
        std::fprintf(stderr, "bench_drag: the locomotives did not start\n");
        return 1;
    }
    std::printf("bench_drag: %d drags of %d steps each\n", runs, kSteps);
    std::fflush(stdout);

    // Up and down in turn, so that every message of every drag is a change.
    LatencySamples one, ten, powerOff;
    int step = 2;
    for (int run = 0; run < runs; ++run) {
        const int target = step == 2 ? 2 + kSteps : 2;
        double oneSeconds = 0;
        if (!drags.Drag(kOne, step, target, oneSeconds)) return 1;
        one.Add(oneSeconds * 1e6);
        // Bring the other nine to the same step before they are dragged together.
        double ignored = 0;
        std::vector<std::int32_t> others(kTen.begin() + 1, kTen.end());
        if (!drags.Drag(others, step, target, ignored)) return 1;
        const int back = target == 2 ? 2 + kSteps : 2;
        double tenSeconds = 0;
        if (!drags.Drag(kTen, target, back, tenSeconds)) return 1;
        ten.Add(tenSeconds * 1e6);
        // Once more with "K" half-way, then the power back on.
        double off = 0;
        if (!drags.Drag(kTen, back, target, ignored, kSteps * 10 / 2, &off)) return 1;
        powerOff.Add(off * 1e6);
        if (!drags.Ask("E", "O")) return 1;
        step = target;
        std::printf("bench_drag: run %d: one %.3f s, ten %.3f s, K %.3f s\n", run + 1, oneSeconds,
                    tenSeconds, off);
        std::fflush(stdout);
    }

    const double oneSeconds = one.Median() / 1e6;
    const double tenSeconds = ten.Median() / 1e6;
    const double offSeconds = powerOff.Median() / 1e6;
    BenchTable::Add({"6 throttle drag", "1 locomotive, 30 steps: first message to last step held",
                     SecondsText(oneSeconds), "-", "-", "<= 0.25 s",
                     BenchTable::Verdict(oneSeconds <= 0.25)});
    BenchTable::Add({"6 throttle drag", "10 locomotives, 30 steps each: to every last step held",
                     SecondsText(tenSeconds), "-", "-", "<= 1.2 s",
                     BenchTable::Verdict(tenSeconds <= 1.2)});
    BenchTable::Add({"6 throttle drag", "K half-way through 10 locomotives: to track power off",
                     SecondsText(offSeconds), "-", "-", "<= 0.2 s",
                     BenchTable::Verdict(offSeconds <= 0.2)});
    return 0;
}
