#pragma once

#include <sys/types.h>

#include <cstdint>

// What /proc says about a process.
class ProcStats {
public:
    // VmRSS in KiB; -1 when the process is gone.
    static std::int64_t ResidentKiB(pid_t pid);
    // User plus system CPU time in seconds (clock-tick resolution); -1 when the process is gone.
    static double CpuSeconds(pid_t pid);
};
