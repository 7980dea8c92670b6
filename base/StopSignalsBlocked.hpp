#pragma once

#ifndef _WIN32
#include <signal.h>
#endif

// Blocks the program's stop signals (SIGINT, SIGTERM) in the calling thread while it lives and
// restores the mask after. A thread started meanwhile inherits the mask from its first
// instruction on, so the stop signals reach only the main thread, which waits for them: taken
// by a worker asleep in its event loop, a signal would be handled late or, under some
// runtimes, not at all.
class StopSignalsBlocked {
public:
    StopSignalsBlocked();
    ~StopSignalsBlocked();

    StopSignalsBlocked(const StopSignalsBlocked&) = delete;
    StopSignalsBlocked& operator=(const StopSignalsBlocked&) = delete;

private:
#ifndef _WIN32
    sigset_t previous_;
#endif
};
