#pragma once
// `veilrelay info`: what secure memory can do in this process.
#include <ossara/Veilrelay.hpp>

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>

namespace veilrelay_cli {

// The memory-lock limit (RLIMIT_MEMLOCK) of this process in bytes (Linux);
// std::nullopt stands for unlimited.
struct MemlockLimit {
    std::optional<std::uint64_t> soft;
    std::optional<std::uint64_t> hard;
};
#if !defined(_WIN32) && !defined(__APPLE__)
MemlockLimit current_memlock_limit();
#endif

// {"memory_protection": <protection info>, "memlock_limit": {"soft": ..., "hard": ...}}
// with "unlimited" for an unlimited value.
ossara::json memory_report(const ossara::json& protection_info, const MemlockLimit& limit);

// A hint for the user when the limit is too small to lock one page, else empty.
std::string memlock_hint(const MemlockLimit& limit, std::uint64_t page_size);

// The wiring limits of macOS in bytes, which take the place of the
// memory-lock limit there (mlock is held to them, not to RLIMIT_MEMLOCK):
// vm.user_wire_limit for one user's wired memory, vm.global_user_wire_limit
// for all users'; std::nullopt for a limit the system would not tell.
struct WireLimits {
    std::optional<std::uint64_t> user;
    std::optional<std::uint64_t> global;
};
#if defined(__APPLE__)
WireLimits current_wire_limits();
#endif

// {"memory_protection": <protection info>, "wire_limit": {"user": ..., "global": ...}}
// with null for a limit the system would not tell.
ossara::json wire_limit_report(const ossara::json& protection_info, const WireLimits& limits);

// A hint for the user when the per-user wiring limit is too small to lock
// one page, else empty.
std::string wire_limit_hint(const WireLimits& limits, std::uint64_t page_size);

// The working-set limits of this process in bytes (Windows, where they take
// the place of the memory-lock limit): VirtualLock keeps the locked pages
// within the minimum working set, less a few pages the system uses itself.
struct WorkingSetLimits {
    std::uint64_t minimum = 0;
    std::uint64_t maximum = 0;
};
#if defined(_WIN32)
// std::nullopt when the system would not tell.
std::optional<WorkingSetLimits> current_working_set_limits();
#endif

// {"memory_protection": <protection info>, "working_set": {"minimum": ..., "maximum": ...}}
// with null for limits the system would not tell.
ossara::json working_set_report(const ossara::json& protection_info, const std::optional<WorkingSetLimits>& limits);

// A hint for the user when not even one page fits in the minimum working set
// beside the system's own pages, else empty.
std::string working_set_hint(const std::optional<WorkingSetLimits>& limits, std::uint64_t page_size);

// Writes the report as JSON (the memory-lock limit on Linux, the wiring
// limits on macOS, the working-set limits on Windows) to `out` and a hint, if
// any, to `err`.
void run_info(std::ostream& out, std::ostream& err);

}  // namespace veilrelay_cli
