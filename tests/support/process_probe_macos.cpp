// The process probe on macOS: proc_pid_rusage and the malloc zones.
#if defined(__APPLE__)
#include "support/process_probe.hpp"

#include <libproc.h>
#include <malloc/malloc.h>
#include <sys/resource.h>
#include <unistd.h>

namespace ossara::testing {
namespace {

std::optional<rusage_info_v4> usage() {
    rusage_info_v4 info{};
    if (::proc_pid_rusage(::getpid(), RUSAGE_INFO_V4, reinterpret_cast<rusage_info_t*>(&info)) != 0)
        return std::nullopt;
    return info;
}

}  // namespace

// Wired memory: what mlock holds (and the little the kernel wires itself).
std::optional<long> locked_kb() {
    const auto info = usage();
    return info ? std::optional<long>(static_cast<long>(info->ri_wired_size / 1024)) : std::nullopt;
}

long resident_bytes() {
    ::malloc_zone_pressure_relief(nullptr, 0);  // free pages go back to the system
    const auto info = usage();
    return info ? static_cast<long>(info->ri_resident_size) : -1;
}

// The kernel keeps the peak for the process's lifetime only.
bool reset_peak_resident() { return false; }
std::optional<long> peak_resident_bytes() { return std::nullopt; }

std::optional<std::size_t> heap_in_use() {
    malloc_statistics_t stats{};
    ::malloc_zone_statistics(nullptr, &stats);
    return stats.size_in_use;
}

std::size_t heap_block_size(const void* block) { return ::malloc_size(block); }

// No table of listening sockets to read.
std::optional<int> accept_queue_length(int) { return std::nullopt; }

}  // namespace ossara::testing
#endif
