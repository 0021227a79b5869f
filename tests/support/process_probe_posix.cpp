// The parts of the process probe that Linux and macOS share.
#if !defined(_WIN32)
#include "support/process_probe.hpp"

#include <sys/resource.h>

#include <algorithm>
#include <filesystem>
#include <iterator>

namespace ossara::testing {

int open_descriptors() {
    // /dev/fd lists this process's descriptors on both systems (on Linux it
    // is /proc/self/fd); the listing's own descriptor counts every time.
    std::error_code ec;
    std::filesystem::directory_iterator entries("/dev/fd", ec);
    if (ec) return -1;
    return static_cast<int>(std::distance(entries, std::filesystem::directory_iterator{}));
}

void raise_open_file_limit(std::uint64_t wanted) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= wanted) return;
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? static_cast<rlim_t>(wanted)
                                                     : std::min(static_cast<rlim_t>(wanted), limit.rlim_max);
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace ossara::testing
#endif
