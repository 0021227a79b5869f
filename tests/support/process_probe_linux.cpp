// The process probe on Linux: /proc and glibc's allocator.
#if defined(__linux__)
#include "support/process_probe.hpp"

#include <malloc.h>

#include <fstream>
#include <sstream>
#include <string>

namespace ossara::testing {
namespace {

// The kB figure of a line of /proc/self/status ("VmLck", "VmRSS", "VmHWM").
std::optional<long> status_kb(const std::string& field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with(field + ":")) return std::stol(line.substr(field.size() + 1));
    return std::nullopt;
}

}  // namespace

std::optional<long> locked_kb() { return status_kb("VmLck"); }

long resident_bytes() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
    const auto kb = status_kb("VmRSS");
    return kb ? *kb * 1024 : -1;
}

bool reset_peak_resident() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";  // sets VmHWM to the current size
    clear.flush();
    return static_cast<bool>(clear);
}

std::optional<long> peak_resident_bytes() {
    const auto kb = status_kb("VmHWM");
    return kb ? std::optional<long>(*kb * 1024) : std::nullopt;
}

std::optional<std::size_t> heap_in_use() {
#if defined(__GLIBC__)
    return mallinfo2().uordblks;
#else
    return std::nullopt;
#endif
}

std::size_t heap_block_size(const void* block) { return malloc_usable_size(const_cast<void*>(block)); }

std::optional<int> accept_queue_length(int port) {
    // The receive queue /proc/net/tcp shows for a listening socket.
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
#endif
