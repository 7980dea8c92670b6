#include "bench/ProcStats.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

std::int64_t ProcStats::ResidentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        long long kib = 0;
        if (std::sscanf(line.c_str(), "VmRSS: %lld kB", &kib) == 1) return kib;
    }
    return -1;
}

double ProcStats::CpuSeconds(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // The command name in parentheses may hold blanks; the fields count from after it.
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) return -1.0;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    // Fields 3 to 13 (state ... cmajflt), then utime (14) and stime (15).
    for (int index = 3; index <= 13 && fields >> field; ++index) {
    }
    if (!(fields >> utime >> stime)) return -1.0;
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}
