// Handler construction: platform selection, the Linux, macOS, Windows and
// fallback backends, the capability line and the protection info.
#include "detail/loader.hpp"
#include "detail/logging.hpp"
#include "detail/unwinding.hpp"
#include "detail/native_types.hpp"

#include <ossara/Hushvault.hpp>

#include <bit>
#include <stdexcept>
#include <utility>

namespace ossara {
namespace {

// A backend step that cannot be completed; caught by the backend's set-up.
class SetupError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

void* open_or_throw(detail::Loader& loader, const std::string& name, detail::ErrorCapture capture) {
    auto opened = loader.open(name, capture);
    if (opened.handle == nullptr) throw SetupError(opened.error);
    return opened.handle;
}

detail::c_function resolve_or_throw(detail::Loader& loader, void* library, const std::string& symbol) {
    auto resolved = loader.resolve(library, symbol);
    if (resolved.function == nullptr) throw SetupError(resolved.error);
    return resolved.function;
}

// Page alignment needs a power of two; anything else counts as a failed query.
std::size_t usable_page_size(long long reported) {
    if (reported <= 0 || !std::has_single_bit(static_cast<unsigned long long>(reported)))
        throw SetupError("unusable page size");
    return static_cast<std::size_t>(reported);
}

}  // namespace

Hushvault::Hushvault(bool enable) : Hushvault(detail::system_platform(), detail::system_loader(), enable) {}

Hushvault::Hushvault(std::string platform, std::shared_ptr<detail::Loader> loader, bool enable)
    : _enabled(enable), _platform(std::move(platform)), _loader(std::move(loader)) {
    if (_enabled) {
        _init_platform_specific();
        _log_capabilities();
    } else {
        detail::vault_log().info("Secure memory disabled by configuration");
    }
}

Hushvault::~Hushvault() = default;

bool Hushvault::_is_posix_class() const noexcept {
    return _platform.starts_with("linux") || _platform == "darwin";
}

bool Hushvault::_is_windows_class() const noexcept { return _platform == "win32"; }

void Hushvault::_init_platform_specific() {
    if (_platform.starts_with("linux")) {
        _init_linux();
    } else if (_platform == "win32") {
        _init_windows();
    } else if (_platform == "darwin") {
        _init_macos();
    } else {
        detail::vault_log().warn("Platform {} not fully supported. Using fallback memory protection.", _platform);
        _init_fallback();
    }
}

void Hushvault::_init_linux() { _init_posix("libc.so.6", "Linux"); }

// By its absolute path: a bare name would be searched for, and the search
// reaches folders the user can write (the working directory among them)
// before the system's copy.
void Hushvault::_init_macos() { _init_posix("/usr/lib/libc.dylib", "macOS"); }

void Hushvault::_init_posix(const char* library, std::string_view os_name) {
    try {
        _libc = open_or_throw(*_loader, library, detail::ErrorCapture::c_errno);
        try {
            auto getpagesize = detail::as<detail::getpagesize_fn>(resolve_or_throw(*_loader, _libc, "getpagesize"));
            _page_size = usable_page_size(getpagesize());
        } catch (const detail::forced_unwind&) {
            throw;
        } catch (...) {
            _page_size = 4096;
        }
        _mlock_func = resolve_or_throw(*_loader, _libc, "mlock");
        _munlock_func = resolve_or_throw(*_loader, _libc, "munlock");
        _memset_func = resolve_or_throw(*_loader, _libc, "memset");
        _has_mlock = true;
        _has_secure_zero = true;
        _protection_level = MemoryProtectionLevel::FULL;
        _bind_core_dump_exclusion();
        detail::vault_log().info("{} secure memory initialized (mlock + memset)", os_name);
    } catch (const detail::forced_unwind&) {
        throw;
    } catch (...) {
        detail::vault_log().warn("Could not initialize {} mlock: {}. Using fallback.", os_name,
                           detail::current_error_text());
        _init_fallback();
    }
}

void Hushvault::_bind_core_dump_exclusion() {
    // Linux only (MADV_DONTDUMP); optional: without it pages are still locked.
#if defined(__linux__)
    if (!_platform.starts_with("linux")) return;
    const auto resolved = _loader->resolve(_libc, "madvise");
    _madvise_func = resolved.function;
    _excludes_from_core_dumps = _madvise_func != nullptr;
#endif
}

void Hushvault::_init_windows() {
    try {
        // The kernel32 handle is needed only while binding.
        void* kernel32 = open_or_throw(*_loader, "kernel32", detail::ErrorCapture::windows_last_error);
        try {
            auto get_system_info =
                detail::as<detail::get_system_info_fn>(resolve_or_throw(*_loader, kernel32, "GetSystemInfo"));
            detail::SystemInfo info{};
            get_system_info(&info);
            _page_size = usable_page_size(info.dwPageSize);
        } catch (const detail::forced_unwind&) {
            throw;
        } catch (...) {
            _page_size = 4096;
        }
        _mlock_func = resolve_or_throw(*_loader, kernel32, "VirtualLock");
        _munlock_func = resolve_or_throw(*_loader, kernel32, "VirtualUnlock");
        // Zeroing: ntdll's RtlZeroMemory, else kernel32's, else our own
        // byte-by-byte overwrite.
        try {
            void* ntdll = open_or_throw(*_loader, "ntdll", detail::ErrorCapture::none);
            _memset_func = resolve_or_throw(*_loader, ntdll, "RtlZeroMemory");
            _windows_zero_is_rtlzero = true;
        } catch (const detail::forced_unwind&) {
            throw;
        } catch (...) {
            try {
                _memset_func = resolve_or_throw(*_loader, kernel32, "RtlZeroMemory");
                _windows_zero_is_rtlzero = true;
            } catch (const detail::forced_unwind&) {
                throw;
            } catch (...) {
                _memset_func = nullptr;
                _windows_zero_is_rtlzero = false;
                detail::vault_log().warn("RtlZeroMemory not available, using Python zeroing");
            }
        }
        _has_mlock = true;
        _has_secure_zero = true;
        _protection_level = MemoryProtectionLevel::FULL;
        detail::vault_log().info("Windows secure memory initialized (VirtualLock + RtlZeroMemory)");
    } catch (const detail::forced_unwind&) {
        throw;
    } catch (...) {
        detail::vault_log().warn("Could not initialize Windows VirtualLock: {}. Using fallback.",
                           detail::current_error_text());
        _init_fallback();
    }
}

void Hushvault::_init_fallback() {
    // _libc, _page_size and _windows_zero_is_rtlzero keep what a failed
    // backend had already set.
    _has_mlock = false;
    _has_secure_zero = true;
    _protection_level = MemoryProtectionLevel::ZEROING_ONLY;
    _mlock_func = nullptr;
    _munlock_func = nullptr;
    _memset_func = nullptr;
    _madvise_func = nullptr;
    _excludes_from_core_dumps = false;
    detail::vault_log().info("Using fallback memory protection (zeroing only, no locking)");
}

void Hushvault::_log_capabilities() const {
    detail::vault_log().info(
        "Secure memory capabilities - Platform: {}, Protection Level: {}, Memory Locking: {}, Secure Zeroing: {}, "
        "Page Size: {}",
        _platform, value(_protection_level), detail::py_bool(_has_mlock), detail::py_bool(_has_secure_zero),
        _page_size);
}

nlohmann::ordered_json Hushvault::get_protection_info() const {
    nlohmann::ordered_json info = nlohmann::ordered_json::object();
    info["enabled"] = _enabled;
    info["platform"] = _platform;
    info["protection_level"] = std::string(value(_protection_level));
    info["has_memory_locking"] = _has_mlock;
    info["has_secure_zeroing"] = _has_secure_zero;
    info["supports_full_protection"] = _protection_level == MemoryProtectionLevel::FULL;
    info["page_size"] = _page_size;
    info["excludes_from_core_dumps"] = _excludes_from_core_dumps;
    return info;
}

}  // namespace ossara
