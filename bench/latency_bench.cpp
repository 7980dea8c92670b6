// Reply latency of Railmux, as a process against the simulated station, beside its references:
//  1. messages the station never sees ("V", an unchanged "Q") against a minimal Asio server
//     with the same framing;
//  2. "E", which goes to the station, against the same pseudo-terminal round trip done
//     directly plus the loopback round trip of 1.
// Everything (this program's threads, the simulated stations, Railmux and the reference process)
// runs on one CPU unless --cpu -1 is given: on a shared two-core machine, whether a wake-up stays
// on its CPU or has to reach the other one decides more of a round trip than either server does,
// and that depends on whatever else runs at the moment. On one CPU every server pays the same
// switches and the ratio shows the servers' own work.
// Usage: bench_latency [--messages N] [--power-samples N] [--cpu N|-1]
#include "bench/BenchRig.hpp"
#include "bench/BenchTable.hpp"
#include "bench/DirectStationLine.hpp"
#include "bench/FixedReplyServer.hpp"
#include "bench/LatencySamples.hpp"
#include "bench/LoopbackClient.hpp"
#include "bench/ReferenceProcess.hpp"

#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Short address 3, 128-step speed packet, forward at step 5, with its check byte.
const char kUnchangedQ[] = "Q 03 3F 85 B9";

double MicrosSince(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

bool Timed(LoopbackClient& client, const std::string& message, const std::string& expected,
           LatencySamples& samples) {
    std::string reply;
    const auto start = Clock::now();
    if (!client.Request(message, reply)) {
        std::fprintf(stderr, "bench_latency: no reply to \"%s\"\n", message.c_str());
        return false;
    }
    samples.Add(MicrosSince(start));
    if (reply != expected) {
        std::fprintf(stderr, "bench_latency: \"%s\" answered \"%s\", expected \"%s\"\n",
                     message.c_str(), reply.c_str(), expected.c_str());
        return false;
    }
    return true;
}

// Benchmark 1 for one message: Railmux and the reference servers take turns message by message
// (in an order that rotates), so drifts of the machine hit all alike. The reference runs twice:
// as a process of its own, which pays the same process switches as Railmux and is the one the
// goal compares with, and as a thread of this program, the lowest floor there is.
bool NoStation(LoopbackClient& railmux, const std::string& directory, const std::string& label,
               const std::string& message, const std::string& reply, int count) {
    ReferenceProcess process(reply, directory);
    FixedReplyServer thread(reply);
    if (!process.Started()) {
        std::fprintf(stderr, "bench_latency: the reference process did not start\n");
        return false;
    }
    LoopbackClient processClient(process.Port());
    LoopbackClient threadClient(thread.Port());
    if (!processClient.Connected() || !threadClient.Connected()) {
        std::fprintf(stderr, "bench_latency: cannot connect to the references\n");
        return false;
    }
    LoopbackClient* clients[] = {&railmux, &processClient, &threadClient};
    LatencySamples warm, samples[3];
    for (int i = 0; i < 500; ++i) {
        for (LoopbackClient* client : clients) {
            if (!Timed(*client, message, reply, warm)) return false;
        }
    }
    for (LatencySamples& s : samples)
        s.Reserve(count);
    // The machine is shared: other work comes in bursts that can swamp whole stretches of a
    // run. The ratio is therefore taken block by block and the median block ratio is the one
    // judged, so a burst spoils only the blocks it falls in.
    constexpr int kBlock = 1000;
    LatencySamples blockRatios;
    for (int first = 0; first < count; first += kBlock) {
        LatencySamples block[3];
        for (int i = first; i < std::min(count, first + kBlock); ++i) {
            for (int k = 0; k < 3; ++k) {
                const int which = (i + k) % 3;
                if (!Timed(*clients[which], message, reply, block[which])) return false;
            }
        }
        blockRatios.Add(block[0].Median() / block[1].Median());
        for (int k = 0; k < 3; ++k)
            samples[k].Append(block[k]);
    }
    const LatencySamples& mine = samples[0];
    const LatencySamples& floor = samples[1];
    const LatencySamples& inThread = samples[2];
    const double ratio = blockRatios.Median();
    BenchTable::Add({"1 reply latency, no station", label + " median",
                     BenchTable::Micros(mine.Median()), BenchTable::Micros(floor.Median()),
                     BenchTable::Ratio(ratio) + " (median of " +
                         std::to_string(blockRatios.Count()) + " block ratios; range " +
                         BenchTable::Ratio(blockRatios.Percentile(0.0)) + "-" +
                         BenchTable::Ratio(blockRatios.Percentile(1.0)) + ")",
                     "<= 1.30x", BenchTable::Verdict(ratio <= 1.30)});
    BenchTable::Add({"1 reply latency, no station", label + " p99",
                     BenchTable::Micros(mine.Percentile(0.99)),
                     BenchTable::Micros(floor.Percentile(0.99)),
                     BenchTable::Ratio(mine.Percentile(0.99) / floor.Percentile(0.99)), "-", "-"});
    BenchTable::Add({"1 reply latency, no station",
                     label + " median, reference as a thread of the benchmark",
                     BenchTable::Micros(mine.Median()), BenchTable::Micros(inThread.Median()),
                     BenchTable::Ratio(mine.Median() / inThread.Median()), "-", "-"});
    return true;
}

// Benchmark 2: every sample is three round trips, each after 50 ms of quiet: the loopback floor,
// the direct station round trip on a second simulated station, then "E" through Railmux, which
// is thus sent 150 ms after Railmux's latest status line and never waits for the pacing.
bool ThroughStation(LoopbackClient& railmux, int count) {
    SimOptions directOptions;
    directOptions.verbose = false;
    DSAir2Simulator directStation(directOptions);
    std::string error;
    DirectStationLine line;
    if (!directStation.Start(error) || !line.Open(directStation.Path(), error)) {
        std::fprintf(stderr, "bench_latency: direct station: %s\n", error.c_str());
        return false;
    }
    FixedReplyServer floorServer("O");
    LoopbackClient floor(floorServer.Port());
    if (!floor.Connected()) {
        std::fprintf(stderr, "bench_latency: cannot connect\n");
        return false;
    }
    LatencySamples railmuxSamples, lineSamples, floorSamples, sumSamples;
    const auto quiet = std::chrono::milliseconds(50);
    // The first power-on of each side is not counted.
    for (int i = -1; i < count; ++i) {
        std::this_thread::sleep_for(quiet);
        auto start = Clock::now();
        if (!Timed(floor, "E", "O", floorSamples)) return false;
        const double floorMicros = MicrosSince(start);
        std::this_thread::sleep_for(quiet);
        start = Clock::now();
        if (!line.RoundTrip("setPower(1)", "200 Ok")) {
            std::fprintf(stderr, "bench_latency: direct station did not answer\n");
            return false;
        }
        const double lineMicros = MicrosSince(start);
        lineSamples.Add(lineMicros);
        sumSamples.Add(floorMicros + lineMicros);
        std::this_thread::sleep_for(quiet);
        if (!Timed(railmux, "E", "O", railmuxSamples)) return false;
        if (i < 0) {
            railmuxSamples = LatencySamples();
            lineSamples = LatencySamples();
            floorSamples = LatencySamples();
            sumSamples = LatencySamples();
        }
    }
    const double reference = lineSamples.Median() + floorSamples.Median();
    const double added = railmuxSamples.Median() - reference;
    BenchTable::Add(
        {"2 reply latency, station", "E median", BenchTable::Micros(railmuxSamples.Median()),
         BenchTable::Micros(reference) + " (pty " + BenchTable::Micros(lineSamples.Median()) +
             " + loopback " + BenchTable::Micros(floorSamples.Median()) + ")",
         "adds " + BenchTable::Micros(added), "adds < 300 us", BenchTable::Verdict(added < 300.0)});
    BenchTable::Add(
        {"2 reply latency, station", "E p99", BenchTable::Micros(railmuxSamples.Percentile(0.99)),
         BenchTable::Micros(sumSamples.Percentile(0.99)) + " (per-sample sum)",
         "adds " +
             BenchTable::Micros(railmuxSamples.Percentile(0.99) - sumSamples.Percentile(0.99)),
         "-", "-"});
    // "setPower(1)\n" out, "200 Ok\r\n" back, 10 bits a byte.
    const double lineBytes = 12 + 8;
    BenchTable::Add({"2 reply latency, station", "115200 baud line time (20 bytes)", "-",
                     BenchTable::Micros(lineBytes / 11520.0 * 1e6), "-",
                     "physical floor on a real line", "-"});
    return true;
}

int Flag(int argc, char* argv[], const char* name, int fallback) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0) return std::atoi(argv[i + 1]);
    }
    return fallback;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (ReferenceProcess::ServeIfAsked(argc, argv)) return 0;
    const int messages = Flag(argc, argv, "--messages", 20000);
    const int powerSamples = Flag(argc, argv, "--power-samples", 100);
    const int cpu = Flag(argc, argv, "--cpu", ::sched_getcpu());
    if (cpu >= 0) {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(cpu, &set);
        // Before any thread or child exists, so that all of them inherit it.
        if (::sched_setaffinity(0, sizeof set, &set) != 0) {
            std::perror("bench_latency: sched_setaffinity");
            return 1;
        }
        std::printf("bench_latency: everything on CPU %d\n", cpu);
    }

    BenchRig rig;
    std::string error;
    if (!rig.Start(error)) {
        std::fprintf(stderr, "bench_latency: %s\n", error.c_str());
        return 1;
    }
    // One connection throughout: Railmux admits one client at a time, and a new one could
    // arrive before the close of the previous one has been seen.
    LoopbackClient railmux(rig.Port());
    // The first "Q" for the address sends its direction and speed (answered at once, written
    // soon after); every later one is unchanged.
    std::string reply;
    const bool driven = railmux.Request(kUnchangedQ, reply) && reply == "O" &&
                        rig.Simulator().WaitForState(
                            [](const SimState& state) {
                                const auto loco = state.locos.find(49155);
                                return loco != state.locos.end() && loco->second.speed == 28;
                            },
                            std::chrono::seconds(10));
    if (!driven) {
        std::fprintf(stderr, "bench_latency: the first Q failed\n");
        return 1;
    }
    // The idle station is watched with a ping every few seconds whatever the client sends;
    // every other command would have been sent for V or Q.
    const auto commandsSent = [&rig] {
        const std::vector<std::string> commands = rig.Simulator().Commands();
        return static_cast<std::size_t>(
            std::count_if(commands.begin(), commands.end(),
                          [](const std::string& command) { return command != "setPing()"; }));
    };
    const std::size_t commandsBefore = commandsSent();

    std::printf("bench_latency: %d sequential messages per letter, Railmux on port %u\n", messages,
                static_cast<unsigned>(rig.Port()));
    const std::string directory = rig.Directory();
    if (!NoStation(railmux, directory, "V", "V", "---", messages)) return 1;
    if (!NoStation(railmux, directory, "unchanged Q", kUnchangedQ, "O", messages)) return 1;
    const std::size_t stray = commandsSent() - commandsBefore;
    BenchTable::Add({"1 reply latency, no station",
                     "station commands sent for V and Q (the idle watch's pings apart)",
                     std::to_string(stray), "-", "-", "0", BenchTable::Verdict(stray == 0)});

    std::printf("bench_latency: %d power-on samples, 150 ms apart\n", powerSamples);
    if (!ThroughStation(railmux, powerSamples)) return 1;
    return 0;
}
