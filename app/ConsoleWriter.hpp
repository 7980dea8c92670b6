#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <thread>

// Takes the console over from direct writes while it lives: each ConsoleLog line goes, whole and
// in order, through a bounded queue to a thread of its own that writes it to the output, so that
// a terminal or pipe that does not drain never holds up the thread that logs. Where a write
// cannot wait (a file, a socket that takes it at once, a pipe with room to spare) and nothing is
// queued, the line is written at once instead, sparing the writer's wake-up. While the queue is
// full further lines are dropped and counted; once output moves again one line says how many.
// At most one exists at a time: main's, for the whole run.
class ConsoleWriter {
public:
    // Most bytes held for the output (queued and being written) before lines are dropped.
    static constexpr std::size_t kQueueBound = 1 << 20;
    // Longest wait at the end for queued lines to be written out: short enough that a stop
    // still ends the program within a second when the output does not drain.
    static constexpr std::chrono::milliseconds kExitWait{500};

    // Starts the writer thread on the descriptor (standard output by default) and routes
    // ConsoleLog to it. If the thread cannot be started, ConsoleLog keeps writing directly.
    explicit ConsoleWriter(int fd = 1, std::size_t bound = kQueueBound,
                           std::chrono::milliseconds exitWait = kExitWait);
    // Writes out what is queued, waiting at most exitWait, and gives ConsoleLog back its direct
    // writes; if the output has not drained by then, later lines are dropped instead, and the
    // writer, stuck in a write the output does not take, is left to the end of the process.
    ~ConsoleWriter();

    ConsoleWriter(const ConsoleWriter&) = delete;
    ConsoleWriter& operator=(const ConsoleWriter&) = delete;

    // The line written in place of lines that were dropped, with their count.
    static std::string DroppedLine(unsigned long long count);

private:
    struct Shared;

    // Shared with the writer thread, which may outlive this object (see the destructor).
    std::shared_ptr<Shared> shared_;
    std::chrono::milliseconds exitWait_;
    std::thread thread_;
};
