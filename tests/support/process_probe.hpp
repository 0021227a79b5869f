#pragma once
// What the kernel says about this process: locked memory, open descriptors,
// resident size, and the accept queue of a listening socket. Tests compare
// them before and after a run, or wait for them. On Windows: the process's
// handle count and working set; the rest is not known there.
#include <malloc.h>

#if defined(_WIN32)
#include <windows.h>
#include <psapi.h>
#endif

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>

// Sanitizer allocators keep freed memory (resident size says nothing then).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define OSSARA_SANITIZED_ALLOCATOR 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define OSSARA_SANITIZED_ALLOCATOR 1
#endif
#endif

namespace ossara::testing {

// Locked memory of this process in kB (VmLck in /proc/self/status).
inline std::optional<long> vm_locked_kb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.starts_with("VmLck:")) return std::stol(line.substr(6));
    return std::nullopt;
}

// Descriptors open in this process (entries of /proc/self/fd; handles on Windows).
inline int open_descriptors() {
#if defined(_WIN32)
    DWORD handles = 0;
    ::GetProcessHandleCount(::GetCurrentProcess(), &handles);
    return static_cast<int>(handles);
#endif
    return static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                          std::filesystem::directory_iterator{}));
}

// Resident size in bytes after free heap memory went back to the system; -1 if unknown.
inline long resident_bytes() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
#if defined(_WIN32)
    PROCESS_MEMORY_COUNTERS counters{};
    if (!::K32GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters)) return -1;
    return static_cast<long>(counters.WorkingSetSize);
#endif
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmRSS:")) return std::stol(line.substr(6)) * 1024;
    return -1;
}

// Connections waiting to be accepted on the IPv4 socket listening on `port`
// (the receive queue /proc/net/tcp shows for a listening socket); nothing
// when no such socket is listed.
inline std::optional<int> accept_queue_length(int port) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // the column names
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues;
        fields >> slot >> local >> remote >> state >> queues;
        const auto colon = local.find(':');
        if (state != "0A" || colon == std::string::npos || std::stoi(local.substr(colon + 1), nullptr, 16) != port)
            continue;
        return std::stoi(queues.substr(queues.find(':') + 1), nullptr, 16);
    }
    return std::nullopt;
}

}  // namespace ossara::testing
