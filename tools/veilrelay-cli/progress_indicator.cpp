#include "progress_indicator.hpp"

#include "terminal.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>

namespace veilrelay_cli {

ProgressIndicator::ProgressIndicator(std::string label, bool animate) : label_(std::move(label)) {
    if (!animate) {
        std::fprintf(stderr, "veilrelay: %s...\n", label_.c_str());
        std::fflush(stderr);
        return;
    }
    thread_ = std::thread([this] { spin(); });
}

ProgressIndicator::~ProgressIndicator() {
    if (!thread_.joinable()) return;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        done_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

bool ProgressIndicator::stderr_is_terminal() noexcept { return is_terminal(stderr); }

void ProgressIndicator::spin() {
    static constexpr std::array<char, 4> kFrames{'|', '/', '-', '\\'};
    const auto start = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lock(mutex_);
    int widest = 0;
    for (std::size_t frame = 0; !done_; ++frame) {
        const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        widest = std::max(widest, std::fprintf(stderr, "\r%c %s... %.1fs", kFrames[frame % kFrames.size()],
                                               label_.c_str(), seconds));
        std::fflush(stderr);
        wake_.wait_for(lock, std::chrono::milliseconds(100), [this] { return done_; });
    }
    // Blank the spinner line so later output starts on a clean line. Spaces,
    // not an erase-line escape: a Windows console shows escapes as text
    // unless a program turns on their processing.
    std::fprintf(stderr, "\r%*s\r", std::max(widest - 1, 0), "");
    std::fflush(stderr);
}

}  // namespace veilrelay_cli
