#include "app/StopSignals.hpp"

#include <atomic>
#include <csignal>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is set by a signal handler");

extern "C" void OnStopSignal(int signo) {
    stopRequested.store(true);
#ifdef _WIN32
    // The Windows runtime puts the default action back before it calls a handler; armed again,
    // a second Ctrl-C during the shutdown does not end the process half-way.
    std::signal(signo, OnStopSignal);
#else
    static_cast<void>(signo);
#endif
}

#ifdef _WIN32
// Called on a thread of its own for each console event. Ctrl-C is left to the runtime, which
// turns it into SIGINT.
BOOL WINAPI OnConsoleEvent(DWORD event) {
    if (event == CTRL_C_EVENT) return FALSE;
    stopRequested.store(true);
    if (event != CTRL_BREAK_EVENT) {
        // Closing the window, logging off or shutting down: Windows ends the process as soon as
        // this returns, and by itself a few seconds later. Until then main shuts down as after
        // Ctrl-C, and its return ends the process with this thread.
        ::Sleep(INFINITE);
    }
    return TRUE;
}
#endif

}  // namespace

void InstallStopHandlers() {
#ifdef _WIN32
    std::signal(SIGTERM, OnStopSignal);
    std::signal(SIGINT, OnStopSignal);
    ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
#else
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
#endif
}

bool StopRequested() {
    return stopRequested.load();
}
