#pragma once

#include <string>

// One row of the results table: a measure of Railmux beside the same measure of its reference.
struct BenchRow {
    std::string benchmark;  // "1 reply latency, no station", ...
    std::string measure;    // "V median", ...
    std::string railmux;
    std::string reference;
    std::string ratio;    // Railmux / reference, or another comparison named in the measure
    std::string goal;     // "-" where there is none
    std::string verdict;  // "met", "MISSED" or "-"
};

// The rows every benchmark program contributes to the final table. Each row is printed at once
// and, when RAILMUX_BENCH_TABLE names a file, appended to it as one tab-separated line, so that
// tools/bench can print the whole table after all programs have run.
class BenchTable {
public:
    static void Add(const BenchRow& row);

    // "met" or "MISSED".
    static std::string Verdict(bool met);
    // Fixed-point text with the given number of decimals.
    static std::string Number(double value, int decimals);
    // Microseconds as "123.4 us" or, from 10 ms up, "12.34 ms".
    static std::string Micros(double micros);
    static std::string Ratio(double ratio);
};
