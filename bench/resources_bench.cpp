// Resident memory and CPU time of Railmux (as a process, connected to the simulated station)
// beside a reference process that only runs the minimal fixed-reply Asio server: idle for a
// set time, then after 1000, after 10000 and after all of a run of messages that never reach
// the station.
// Usage: bench_resources [--idle-seconds N] [--messages N]
#include "bench/BenchRig.hpp"
#include "bench/BenchTable.hpp"
#include "bench/LoopbackClient.hpp"
#include "bench/ProcStats.hpp"
#include "bench/ReferenceProcess.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

// Messages with fixed replies or without a change, as a client polling an idle layout sends.
struct Exchange {
    const char* message;
    const char* reply;
};
const Exchange kMix[] = {
    {"V", "---"},
    {"Q 03 3F 85 B9", "O"},
    {"L 0003", "L0003000000"},
    {"S 02 03 80 83", "O"},
    {"C", "O"},
    {"GD 01", "G010000"},
    {"Z", "?"},
    {"X", "O"},
};

std::string Kib(std::int64_t kib) {
    return std::to_string(kib) + " KiB";
}

// Sends count messages of the mix to both, alternating, and checks every reply. The reference
// answers everything with "O".
bool Drive(LoopbackClient& railmux, LoopbackClient& reference, long count, long& sent) {
    std::string reply;
    const std::size_t mixSize = sizeof kMix / sizeof kMix[0];
    for (long i = 0; i < count; ++i, ++sent) {
        const Exchange& exchange = kMix[sent % mixSize];
        if (!railmux.Request(exchange.message, reply) || reply != exchange.reply) {
            std::fprintf(stderr, "bench_resources: \"%s\" answered \"%s\"\n", exchange.message,
                         reply.c_str());
            return false;
        }
        if (!reference.Request(exchange.message, reply)) return false;
    }
    return true;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (ReferenceProcess::ServeIfAsked(argc, argv)) return 0;
    int idleSeconds = 10;
    long messages = 100000;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--idle-seconds") == 0) idleSeconds = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--messages") == 0) messages = std::atol(argv[i + 1]);
    }

    BenchRig rig;
    std::string error;
    if (!rig.Start(error)) {
        std::fprintf(stderr, "bench_resources: %s\n", error.c_str());
        return 1;
    }
    ReferenceProcess referenceProcess("O", rig.Directory());
    if (!referenceProcess.Started()) {
        std::fprintf(stderr, "bench_resources: the reference process did not start\n");
        return 1;
    }
    const pid_t railmuxPid = rig.Pid();
    const pid_t referencePid = referenceProcess.Pid();

    // Idle: the start-up is over, no client is connected.
    std::printf("bench_resources: idle for %d s\n", idleSeconds);
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const double railmuxCpu0 = ProcStats::CpuSeconds(railmuxPid);
    const double referenceCpu0 = ProcStats::CpuSeconds(referencePid);
    const auto idleStart = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
    const double idleElapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - idleStart).count();
    const double railmuxIdle = (ProcStats::CpuSeconds(railmuxPid) - railmuxCpu0) / idleElapsed;
    const double referenceIdle =
        (ProcStats::CpuSeconds(referencePid) - referenceCpu0) / idleElapsed;
    const std::int64_t railmuxIdleRss = ProcStats::ResidentKiB(railmuxPid);
    const std::int64_t referenceIdleRss = ProcStats::ResidentKiB(referencePid);

    LoopbackClient railmux(rig.Port());
    LoopbackClient reference(referenceProcess.Port());
    if (!railmux.Connected() || !reference.Connected()) {
        std::fprintf(stderr, "bench_resources: cannot connect\n");
        return 1;
    }
    std::printf("bench_resources: %ld messages\n", messages);
    std::fflush(stdout);
    long sent = 0;
    if (!Drive(railmux, reference, 1000, sent)) return 1;
    const std::int64_t railmuxRss1k = ProcStats::ResidentKiB(railmuxPid);
    const std::int64_t referenceRss1k = ProcStats::ResidentKiB(referencePid);
    const double railmuxCpu1k = ProcStats::CpuSeconds(railmuxPid);
    const double referenceCpu1k = ProcStats::CpuSeconds(referencePid);
    // The first messages settle the heap and the stacks of the threads they pass through (a
    // page or so, once); growth that repeats shows from message 10000 on.
    const long settled = std::max(1000L, std::min(10000L, messages / 2));
    if (!Drive(railmux, reference, settled - 1000, sent)) return 1;
    const std::int64_t railmuxRssSettled = ProcStats::ResidentKiB(railmuxPid);
    const std::int64_t referenceRssSettled = ProcStats::ResidentKiB(referencePid);
    if (!Drive(railmux, reference, messages - settled, sent)) return 1;
    const std::int64_t railmuxRss = ProcStats::ResidentKiB(railmuxPid);
    const std::int64_t referenceRss = ProcStats::ResidentKiB(referencePid);
    const double perMessage = 1e6 / static_cast<double>(messages - 1000);
    const double railmuxCpuPer = (ProcStats::CpuSeconds(railmuxPid) - railmuxCpu1k) * perMessage;
    const double referenceCpuPer =
        (ProcStats::CpuSeconds(referencePid) - referenceCpu1k) * perMessage;

    const std::int64_t kLimit = 8 * 1024;
    const std::string label = std::to_string(sent);
    BenchTable::Add({"5 resources", "resident, idle", Kib(railmuxIdleRss), Kib(referenceIdleRss),
                     BenchTable::Ratio(double(railmuxIdleRss) / double(referenceIdleRss)),
                     "< 8 MiB", BenchTable::Verdict(railmuxIdleRss < kLimit)});
    BenchTable::Add({"5 resources", "CPU, idle " + std::to_string(idleSeconds) + " s",
                     BenchTable::Number(railmuxIdle * 100.0, 2) + " %",
                     BenchTable::Number(referenceIdle * 100.0, 2) + " %", "-", "< 1 %",
                     BenchTable::Verdict(railmuxIdle < 0.01)});
    BenchTable::Add({"5 resources", "resident after " + label + " messages", Kib(railmuxRss),
                     Kib(referenceRss),
                     BenchTable::Ratio(double(railmuxRss) / double(referenceRss)), "< 8 MiB",
                     BenchTable::Verdict(railmuxRss < kLimit)});
    const std::string settledLabel = std::to_string(settled);
    BenchTable::Add({"5 resources", "growth from message 1000 to " + settledLabel,
                     Kib(railmuxRssSettled - railmuxRss1k),
                     Kib(referenceRssSettled - referenceRss1k), "-", "-", "-"});
    BenchTable::Add({"5 resources", "growth from message " + settledLabel + " to " + label,
                     Kib(railmuxRss - railmuxRssSettled), Kib(referenceRss - referenceRssSettled),
                     "-", "none", BenchTable::Verdict(railmuxRss <= railmuxRssSettled)});
    BenchTable::Add({"5 resources", "CPU per message (user + system)",
                     BenchTable::Micros(railmuxCpuPer), BenchTable::Micros(referenceCpuPer),
                     BenchTable::Ratio(railmuxCpuPer / referenceCpuPer), "-", "-"});
    return 0;
}
