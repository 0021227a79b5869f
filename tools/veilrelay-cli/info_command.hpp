#pragma once
// `veilrelay info`: what secure memory can do in this process.
#include <ossara/Veilrelay.hpp>

#include <cstdint>
#include <iosfwd>
#include <optional>

namespace veilrelay_cli {

// The memory-lock limit (RLIMIT_MEMLOCK) of this process in bytes;
// std::nullopt stands for unlimited.
struct MemlockLimit {
    std::optional<std::uint64_t> soft;
    std::optional<std::uint64_t> hard;
};
MemlockLimit current_memlock_limit();

// {"memory_protection": <protection info>, "memlock_limit": {"soft": ..., "hard": ...}}
// with "unlimited" for an unlimited value.
ossara::json memory_report(const ossara::json& protection_info, const MemlockLimit& limit);

// A hint for the user when the limit is too small to lock one page, else empty.
std::string memlock_hint(const MemlockLimit& limit, std::uint64_t page_size);

// Writes the report as JSON to `out` and a hint, if any, to `err`.
void run_info(std::ostream& out, std::ostream& err);

}  // namespace veilrelay_cli
