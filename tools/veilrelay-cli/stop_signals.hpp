#pragma once
// How `veilrelay proxy` learns that it should stop: SIGINT or SIGTERM on
// Linux; on Windows Ctrl-C, Ctrl-Break or the console closing (reported as
// SIGINT, SIGBREAK and SIGTERM, so the log reads alike).

namespace veilrelay_cli {

class StopSignals {
public:
    // From here on the stop signals are held for wait() instead of ending the
    // process. Create it before the server's threads start: on Linux they
    // inherit the blocked signals, so only wait() receives them.
    StopSignals();
    // On Windows a closing console ends the process once its handler returns;
    // the handler holds out until this object (declared before the server,
    // so destroyed after it stopped) is gone.
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // Blocks until a stop signal arrives; its number.
    int wait();
};

}  // namespace veilrelay_cli
