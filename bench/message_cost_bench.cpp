// Per-message cost of the client protocol and the station line framing (Google Benchmark), with
// the console going nowhere. Each case runs beside a reference that does only the work no
// implementation can skip: copying the message and formatting its console line (for
// ProcessMessage), and cutting the bytes into lines and formatting each echo line (for the
// framing). Allocations are counted by this program's own global operator new.
// Usage: bench_message_cost [Google Benchmark flags]
#include "base/ConsoleLog.hpp"
#include "bench/BenchTable.hpp"
#include "protocol/IStation.hpp"
#include "protocol/ProcessMessage.hpp"
#include "protocol/StationScheduler.hpp"
#include "protocol/TrackPower.hpp"
#include "station/NDSDCCImpl.hpp"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <string>
#include <vector>

namespace {

std::atomic<std::uint64_t> allocations{0};

void* Allocate(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}

void* AllocateAligned(std::size_t size, std::align_val_t alignment) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    const std::size_t align = static_cast<std::size_t>(alignment);
    const std::size_t rounded = (size + align - 1) / align * align;
    if (void* p = std::aligned_alloc(align, rounded == 0 ? align : rounded)) return p;
    throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) {
    return Allocate(size);
}
void* operator new[](std::size_t size) {
    return Allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size == 0 ? 1 : size);
}
void* operator new(std::size_t size, std::align_val_t alignment) {
    return AllocateAligned(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
    return AllocateAligned(size, alignment);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}

namespace {

// Carries out every command at once and does nothing, so only the protocol's own work is
// measured.
class NoopStation final : public IStation {
public:
    CommandOutcome Greet() override { return CommandOutcome::Done; }
    CommandOutcome Watch() override { return CommandOutcome::Done; }
    CommandOutcome PowerOn() override { return CommandOutcome::Done; }
    CommandOutcome PowerOff() override { return CommandOutcome::Done; }
    CommandOutcome SetLocoSpeed(std::int32_t, std::int32_t, SpeedMode) override {
        return CommandOutcome::Done;
    }
    CommandOutcome SetLocoDirection(std::int32_t, bool) override { return CommandOutcome::Done; }
    CommandOutcome SetLocoFunction(std::int32_t, std::int32_t, bool) override {
        return CommandOutcome::Done;
    }
    CommandOutcome SetTurnout(std::int32_t, bool) override { return CommandOutcome::Done; }
    CommandOutcome SetLocoConfig(std::int32_t, std::int32_t) override {
        return CommandOutcome::Done;
    }
    CommandOutcome GetLocoConfig(std::int32_t, std::int32_t& value) override {
        value = 3;
        return CommandOutcome::Done;
    }
};

// Short address 3, forward at step 5: after the first one nothing changes.
const std::string kUnchangedQ = "Q 03 3F 85 B9";
// Short address 3, function group one with F0 on and with F0 off: each switches F0.
const std::string kFunctionOn = "S 02 03 90 93";
const std::string kFunctionOff = "S 02 03 80 83";

void CountAllocations(benchmark::State& state, std::uint64_t before) {
    state.counters["allocs/item"] = benchmark::Counter(
        static_cast<double>(allocations.load() - before), benchmark::Counter::kAvgIterations);
}

void BM_ProcessMessage_UnchangedQ(benchmark::State& state) {
    NoopStation station;
    TrackPower power;
    StationScheduler scheduler(station, power, {}, StationScheduler::Mode::Manual);
    std::string reply;
    ProcessMessage(kUnchangedQ, reply, scheduler);
    scheduler.RunPending();
    const std::uint64_t before = allocations.load();
    for (auto _ : state) {
        ProcessMessage(kUnchangedQ, reply, scheduler);
        scheduler.RunPending();
        benchmark::DoNotOptimize(reply.data());
    }
    CountAllocations(state, before);
}

void BM_ProcessMessage_FunctionS(benchmark::State& state) {
    NoopStation station;
    TrackPower power;
    StationScheduler scheduler(station, power, {}, StationScheduler::Mode::Manual);
    std::string reply;
    bool on = false;
    const std::uint64_t before = allocations.load();
    for (auto _ : state) {
        on = !on;
        ProcessMessage(on ? kFunctionOn : kFunctionOff, reply, scheduler);
        scheduler.RunPending();
        benchmark::DoNotOptimize(reply.data());
    }
    CountAllocations(state, before);
}

void BM_ProcessMessage_FixedV(benchmark::State& state) {
    NoopStation station;
    TrackPower power;
    StationScheduler scheduler(station, power, {}, StationScheduler::Mode::Manual);
    std::string reply;
    const std::string message = "V";
    const std::uint64_t before = allocations.load();
    for (auto _ : state) {
        ProcessMessage(message, reply, scheduler);
        scheduler.RunPending();
        benchmark::DoNotOptimize(reply.data());
    }
    CountAllocations(state, before);
}

// The floor of one message: its by-value copy, its "[E Recv]" line and a reply.
void MessageFloor(benchmark::State& state, const std::string& message) {
    std::string reply;
    const std::uint64_t before = allocations.load();
    for (auto _ : state) {
        std::string copy = message;
        ConsoleLog("[E Recv] %s\n", copy.c_str());
        reply = "O";
        benchmark::DoNotOptimize(reply.data());
    }
    CountAllocations(state, before);
}
void BM_Floor_Q(benchmark::State& state) {
    MessageFloor(state, kUnchangedQ);
}
void BM_Floor_S(benchmark::State& state) {
    MessageFloor(state, kFunctionOn);
}
void BM_Floor_V(benchmark::State& state) {
    MessageFloor(state, "V");
}

// One KiB of what the station sends: status lines only, or the ping's data lines with theirs.
std::vector<std::uint8_t> StationBytes(bool dataLines) {
    std::string pattern = "200 Ok\r\n";
    if (dataLines) {
        pattern = "@DSG,00,03,00,02,00,00,00,00\r\n@CV,49162,8,129,\r\n" + pattern;
    }
    std::string text;
    while (text.size() < 1024)
        text += pattern;
    text.resize(1024);
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

void Framing(benchmark::State& state, bool dataLines) {
    NDSDCC::Impl link;  // never opened: the port stays closed, no thread runs
    const std::vector<std::uint8_t> chunk = StationBytes(dataLines);
    link.OnSerialData(chunk);
    const std::uint64_t before = allocations.load();
    for (auto _ : state) {
        link.OnSerialData(chunk);
    }
    CountAllocations(state, before);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * chunk.size()));
}
void BM_Framing_StatusLines(benchmark::State& state) {
    Framing(state, false);
}
void BM_Framing_DataLines(benchmark::State& state) {
    Framing(state, true);
}

// The floor of framing: find each line feed, keep the line in a reused string, format its
// "[D Recv]" line.
void FramingFloor(benchmark::State& state, bool dataLines) {
    const std::vector<std::uint8_t> chunk = StationBytes(dataLines);
    std::string line;
    line.reserve(256);
    const std::uint64_t before = allocations.load();
    for (auto _ : state) {
        const char* at = reinterpret_cast<const char*>(chunk.data());
        const char* end = at + chunk.size();
        while (at < end) {
            const char* feed = static_cast<const char*>(std::memchr(at, '\n', end - at));
            if (feed == nullptr) {
                line.append(at, end);
                break;
            }
            line.append(at, feed);
            ConsoleLog("[D Recv] %s\n", line.c_str());
            line.clear();
            at = feed + 1;
        }
    }
    CountAllocations(state, before);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * chunk.size()));
}
void BM_FramingFloor_StatusLines(benchmark::State& state) {
    FramingFloor(state, false);
}
void BM_FramingFloor_DataLines(benchmark::State& state) {
    FramingFloor(state, true);
}

BENCHMARK(BM_ProcessMessage_UnchangedQ);
BENCHMARK(BM_Floor_Q);
BENCHMARK(BM_ProcessMessage_FunctionS);
BENCHMARK(BM_Floor_S);
BENCHMARK(BM_ProcessMessage_FixedV);
BENCHMARK(BM_Floor_V);
BENCHMARK(BM_Framing_StatusLines);
BENCHMARK(BM_FramingFloor_StatusLines);
BENCHMARK(BM_Framing_DataLines);
BENCHMARK(BM_FramingFloor_DataLines);

struct Result {
    double nanos = 0;
    double allocs = 0;
};

// Prints as usual and keeps each case's CPU time per iteration and allocation count.
class RecordingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
            Result& result = results[run.run_name.function_name];
            // CPU time per iteration in nanoseconds, whatever unit the case reports in.
            result.nanos =
                run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e9;
            auto counter = run.counters.find("allocs/item");
            if (counter != run.counters.end()) result.allocs = counter->second.value;
        }
    }
    std::map<std::string, Result> results;
};

void AddRow(const RecordingReporter& reporter, const std::string& measure, const char* name,
            const char* floor, const std::string& unit) {
    const auto mine = reporter.results.find(name);
    const auto theirs = reporter.results.find(floor);
    if (mine == reporter.results.end() || theirs == reporter.results.end()) return;
    const Result& r = mine->second;
    const Result& f = theirs->second;
    BenchTable::Add(
        {"4 per-message cost", measure,
         BenchTable::Number(r.nanos, 0) + " ns, " + BenchTable::Number(r.allocs, 2) + " allocs" +
             unit,
         BenchTable::Number(f.nanos, 0) + " ns, " + BenchTable::Number(f.allocs, 2) + " allocs",
         BenchTable::Ratio(r.nanos / f.nanos), "-", "-"});
}

}  // namespace

int main(int argc, char* argv[]) {
    SetConsoleSink([](const char*, std::size_t) {});
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    AddRow(reporter, "ProcessMessage, unchanged Q", "BM_ProcessMessage_UnchangedQ", "BM_Floor_Q",
           "/msg");
    AddRow(reporter, "ProcessMessage, S switching F0", "BM_ProcessMessage_FunctionS", "BM_Floor_S",
           "/msg");
    AddRow(reporter, "ProcessMessage, fixed reply V", "BM_ProcessMessage_FixedV", "BM_Floor_V",
           "/msg");
    AddRow(reporter, "station framing, status lines", "BM_Framing_StatusLines",
           "BM_FramingFloor_StatusLines", "/KiB");
    AddRow(reporter, "station framing, data + status lines", "BM_Framing_DataLines",
           "BM_FramingFloor_DataLines", "/KiB");
    return 0;
}
