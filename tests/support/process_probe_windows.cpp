// The process probe on Windows: handle count and working set.
#if defined(_WIN32)
#include "support/process_probe.hpp"

#include <malloc.h>
#include <windows.h>
#include <psapi.h>

namespace ossara::testing {

std::optional<long> locked_kb() { return std::nullopt; }

int open_descriptors() {
    DWORD handles = 0;
    ::GetProcessHandleCount(::GetCurrentProcess(), &handles);
    return static_cast<int>(handles);
}

long resident_bytes() {
    PROCESS_MEMORY_COUNTERS counters{};
    if (!::K32GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters)) return -1;
    return static_cast<long>(counters.WorkingSetSize);
}

bool reset_peak_resident() { return false; }
std::optional<long> peak_resident_bytes() { return std::nullopt; }
std::optional<std::size_t> heap_in_use() { return std::nullopt; }
std::size_t heap_block_size(const void* block) { return ::_msize(const_cast<void*>(block)); }
std::optional<int> accept_queue_length(int) { return std::nullopt; }

// Windows has no small default limit of open handles.
void raise_open_file_limit(std::uint64_t) {}

}  // namespace ossara::testing
#endif
