#include "info_command.hpp"

#include <ossara/Hushvault.hpp>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/resource.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <sys/sysctl.h>
#endif
#endif

#include <ostream>

namespace veilrelay_cli {

namespace {

// Pages of the minimum working set that VirtualLock cannot have: the system
// keeps "a small overhead" of the process's own pages there.
constexpr std::uint64_t kWorkingSetOverheadPages = 8;

ossara::json limit_json(const std::optional<std::uint64_t>& value) {
    return value ? ossara::json(*value) : ossara::json("unlimited");
}

#if defined(_WIN32)

std::uint64_t page_size() {
    SYSTEM_INFO info{};
    ::GetSystemInfo(&info);
    return info.dwPageSize;
}

#else

#if !defined(__APPLE__)
std::optional<std::uint64_t> limit_value(rlim_t value) {
    if (value == RLIM_INFINITY) return std::nullopt;
    return static_cast<std::uint64_t>(value);
}
#endif

std::uint64_t page_size() {
    const long page = ::sysconf(_SC_PAGESIZE);
    return page > 0 ? static_cast<std::uint64_t>(page) : 4096U;
}

#endif

}  // namespace

#if defined(_WIN32)

std::optional<WorkingSetLimits> current_working_set_limits() {
    SIZE_T minimum = 0;
    SIZE_T maximum = 0;
    if (!::GetProcessWorkingSetSize(::GetCurrentProcess(), &minimum, &maximum)) return std::nullopt;
    return WorkingSetLimits{minimum, maximum};
}

#elif defined(__APPLE__)

namespace {

std::optional<std::uint64_t> sysctl_bytes(const char* name) {
    std::uint64_t value = 0;
    std::size_t size = sizeof value;
    if (::sysctlbyname(name, &value, &size, nullptr, 0) != 0 || size != sizeof value) return std::nullopt;
    return value;
}

}  // namespace

WireLimits current_wire_limits() {
    return {sysctl_bytes("vm.user_wire_limit"), sysctl_bytes("vm.global_user_wire_limit")};
}

#else

MemlockLimit current_memlock_limit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_MEMLOCK, &limit) != 0) return {};
    return {limit_value(limit.rlim_cur), limit_value(limit.rlim_max)};
}

#endif

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

ossara::json wire_limit_report(const ossara::json& protection_info, const WireLimits& limits) {
    const auto bytes = [](const std::optional<std::uint64_t>& value) {
        return value ? ossara::json(*value) : ossara::json(nullptr);
    };
    ossara::json report = ossara::json::object();
    report["memory_protection"] = protection_info;
    report["wire_limit"] = ossara::json{{"user", bytes(limits.user)}, {"global", bytes(limits.global)}};
    return report;
}

std::string wire_limit_hint(const WireLimits& limits, std::uint64_t page_size) {
    if (!limits.user || *limits.user >= page_size) return {};
    return "hint: the wired-memory limit (vm.user_wire_limit) is " + std::to_string(*limits.user) +
           " bytes, too small to lock even one page, so secrets can only be zeroed, not kept out of swap; "
           "an administrator raises it with 'sysctl -w vm.user_wire_limit=BYTES'";
}

ossara::json working_set_report(const ossara::json& protection_info, const std::optional<WorkingSetLimits>& limits) {
    ossara::json report = ossara::json::object();
    report["memory_protection"] = protection_info;
    report["working_set"] = limits ? ossara::json{{"minimum", limits->minimum}, {"maximum", limits->maximum}}
                                   : ossara::json{{"minimum", nullptr}, {"maximum", nullptr}};
    return report;
}

std::string working_set_hint(const std::optional<WorkingSetLimits>& limits, std::uint64_t page_size) {
    if (!limits || limits->minimum >= (kWorkingSetOverheadPages + 1) * page_size) return {};
    return "hint: the minimum working set is " + std::to_string(limits->minimum) +
           " bytes, too small to lock even one page beside the system's own, so secrets can only be zeroed, "
           "not kept out of the page file; a program raises it with SetProcessWorkingSetSize";
}

void run_info(std::ostream& out, std::ostream& err) {
#if defined(_WIN32)
    const auto limits = current_working_set_limits();
    out << working_set_report(ossara::get_memory_protection_info(), limits).dump(2) << '\n';
    const std::string hint = working_set_hint(limits, page_size());
#elif defined(__APPLE__)
    const WireLimits limits = current_wire_limits();
    out << wire_limit_report(ossara::get_memory_protection_info(), limits).dump(2) << '\n';
    const std::string hint = wire_limit_hint(limits, page_size());
#else
    const MemlockLimit limit = current_memlock_limit();
    out << memory_report(ossara::get_memory_protection_info(), limit).dump(2) << '\n';
    const std::string hint = memlock_hint(limit, page_size());
#endif
    if (!hint.empty()) err << "veilrelay: " << hint << '\n';
}

}  // namespace veilrelay_cli
