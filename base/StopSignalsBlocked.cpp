#include "base/StopSignalsBlocked.hpp"

#ifndef _WIN32
#include <pthread.h>

StopSignalsBlocked::StopSignalsBlocked() {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    ::pthread_sigmask(SIG_BLOCK, &stop, &previous_);
}

StopSignalsBlocked::~StopSignalsBlocked() {
    ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}
#else
// Console control events on Windows do not go to a thread of the program's choosing.
StopSignalsBlocked::StopSignalsBlocked() = default;
StopSignalsBlocked::~StopSignalsBlocked() = default;
#endif
