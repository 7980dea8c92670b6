#include "bench/BenchTable.hpp"

#include <cstdio>
#include <cstdlib>

void BenchTable::Add(const BenchRow& row) {
    std::printf("  [table] %s | %s | railmux %s | reference %s | %s | goal %s | %s\n",
                row.benchmark.c_str(), row.measure.c_str(), row.railmux.c_str(),
                row.reference.c_str(), row.ratio.c_str(), row.goal.c_str(), row.verdict.c_str());
    std::fflush(stdout);
    const char* path = std::getenv("RAILMUX_BENCH_TABLE");
    if (path == nullptr || *path == '\0') return;
    std::FILE* file = std::fopen(path, "a");
    if (file == nullptr) {
        std::perror(path);
        return;
    }
    std::fprintf(file, "%s\t%s\t%s\t%s\t%s\t%s\t%s\n", row.benchmark.c_str(), row.measure.c_str(),
                 row.railmux.c_str(), row.reference.c_str(), row.ratio.c_str(), row.goal.c_str(),
                 row.verdict.c_str());
    std::fclose(file);
}

std::string BenchTable::Verdict(bool met) {
    return met ? "met" : "MISSED";
}

std::string BenchTable::Number(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string BenchTable::Micros(double micros) {
    if (micros >= 10000.0) return Number(micros / 1000.0, 2) + " ms";
    return Number(micros, 1) + " us";
}

std::string BenchTable::Ratio(double ratio) {
    return Number(ratio, 2) + "x";
}
