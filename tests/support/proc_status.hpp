#pragma once
// What the kernel says about this process's locked memory.
#include <fstream>
#include <optional>
#include <string>

namespace ossara::testing {

// Locked memory of this process in kB (VmLck in /proc/self/status).
inline std::optional<long> vm_locked_kb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.starts_with("VmLck:")) return std::stol(line.substr(6));
    return std::nullopt;
}

}  // namespace ossara::testing
