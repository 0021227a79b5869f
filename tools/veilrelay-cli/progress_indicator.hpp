#pragma once
// Tells the user on stderr that a slow step (generating a 4096-bit RSA key
// takes seconds) is running. On a terminal a spinner turns until the object
// is destroyed; elsewhere (a pipe, a log file) one plain line is written.
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace veilrelay_cli {

class ProgressIndicator {
public:
    // `animate` false writes the single line only (used when stderr is not a
    // terminal or when log output would interleave with the spinner).
    ProgressIndicator(std::string label, bool animate);
    ~ProgressIndicator();
    ProgressIndicator(const ProgressIndicator&) = delete;
    ProgressIndicator& operator=(const ProgressIndicator&) = delete;

    // True when stderr is a terminal.
    static bool stderr_is_terminal() noexcept;

private:
    void spin();

    std::string label_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::thread thread_;
};

}  // namespace veilrelay_cli
