#include "stop_signals.hpp"

#include <csignal>

#if defined(_WIN32)
#include <windows.h>

#include <condition_variable>
#include <mutex>
#include <optional>
#else
#include <pthread.h>
#endif

namespace veilrelay_cli {

#if defined(_WIN32)

namespace {

// The console handler is a plain function running on a thread of its own;
// it and wait() meet here.
struct ConsoleEvents {
    std::mutex mutex;
    std::condition_variable changed;
    std::optional<int> received;
    bool finished = false;
};

ConsoleEvents& events() {
    static ConsoleEvents shared;
    return shared;
}

BOOL WINAPI on_console_event(DWORD event) {
    int signal = 0;
    switch (event) {
        case CTRL_C_EVENT: signal = SIGINT; break;
        case CTRL_BREAK_EVENT: signal = SIGBREAK; break;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT: signal = SIGTERM; break;
        default: return FALSE;
    }
    ConsoleEvents& shared = events();
    std::unique_lock<std::mutex> lock(shared.mutex);
    if (!shared.received) shared.received = signal;
    shared.changed.notify_all();
    // After a Ctrl key the process goes on; after the others the system ends
    // it as soon as this returns (or after its few seconds of grace), so let
    // the requests in flight finish first.
    if (signal == SIGTERM) shared.changed.wait(lock, [&shared] { return shared.finished; });
    return TRUE;
}

}  // namespace

StopSignals::StopSignals() { ::SetConsoleCtrlHandler(on_console_event, TRUE); }

StopSignals::~StopSignals() {
    ::SetConsoleCtrlHandler(on_console_event, FALSE);
    ConsoleEvents& shared = events();
    const std::lock_guard<std::mutex> lock(shared.mutex);
    shared.finished = true;
    shared.changed.notify_all();
}

int StopSignals::wait() {
    ConsoleEvents& shared = events();
    std::unique_lock<std::mutex> lock(shared.mutex);
    shared.changed.wait(lock, [&shared] { return shared.received.has_value(); });
    return *shared.received;
}

#else

namespace {

sigset_t stop_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

StopSignals::StopSignals() {
    const sigset_t signals = stop_signals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

// The signals stay blocked: the process is about to end, and a second
// Ctrl-C must not cut the orderly stop short.
StopSignals::~StopSignals() = default;

int StopSignals::wait() {
    const sigset_t signals = stop_signals();
    int received = 0;
    sigwait(&signals, &received);
    return received;
}

#endif

}  // namespace veilrelay_cli
