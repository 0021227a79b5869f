#include "info_command.hpp"

#include <ossara/Hushvault.hpp>

#include <sys/resource.h>
#include <unistd.h>

#include <ostream>

namespace veilrelay_cli {

namespace {

std::optional<std::uint64_t> limit_value(rlim_t value) {
    if (value == RLIM_INFINITY) return std::nullopt;
    return static_cast<std::uint64_t>(value);
}

ossara::json limit_json(const std::optional<std::uint64_t>& value) {
    return value ? ossara::json(*value) : ossara::json("unlimited");
}

}  // namespace

MemlockLimit current_memlock_limit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_MEMLOCK, &limit) != 0) return {};
    return {limit_value(limit.rlim_cur), limit_value(limit.rlim_max)};
}

ossara::json memory_report(const ossara::json& protection_info, const MemlockLimit& limit) {
    ossara::json report = ossara::json::object();
    report["memory_protection"] = protection_info;
    report["memlock_limit"] = ossara::json{{"soft", limit_json(limit.soft)}, {"hard", limit_json(limit.hard)}};
    return report;
}

std::string memlock_hint(const MemlockLimit& limit, std::uint64_t page_size) {
    if (!limit.soft || *limit.soft >= page_size) return {};
    return "hint: the memory-lock limit (RLIMIT_MEMLOCK) is " + std::to_string(*limit.soft) +
           " bytes, too small to lock even one page, so secrets can only be zeroed, not kept out of swap, "
           "unless the process has CAP_IPC_LOCK; raise it with 'ulimit -l' (limits.conf memlock, systemd "
           "LimitMEMLOCK=, or 'docker run --ulimit memlock=-1')";
}

void run_info(std::ostream& out, std::ostream& err) {
    const MemlockLimit limit = current_memlock_limit();
    out << memory_report(ossara::get_memory_protection_info(), limit).dump(2) << '\n';
    const long page = ::sysconf(_SC_PAGESIZE);
    const std::string hint = memlock_hint(limit, page > 0 ? static_cast<std::uint64_t>(page) : 4096U);
    if (!hint.empty()) err << "veilrelay: " << hint << '\n';
}

}  // namespace veilrelay_cli
