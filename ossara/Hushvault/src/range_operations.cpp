// The address-range layer: page alignment, locking, unlocking and zeroing of
// a raw range through the bound platform functions.
#include "detail/loader.hpp"
#include "detail/logging.hpp"
#include "detail/native_types.hpp"
#include "detail/wipe.hpp"

#include <ossara/Hushvault.hpp>

namespace ossara {
namespace {

void* as_pointer(std::uintptr_t addr) noexcept { return reinterpret_cast<void*>(addr); }

}  // namespace

std::pair<std::uintptr_t, std::size_t> Hushvault::_get_page_aligned_range(std::uintptr_t addr,
                                                                          std::size_t size) const {
    const std::uintptr_t page_mask = _page_size - 1;
    const std::uintptr_t aligned_addr = addr & ~page_mask;
    const std::uintptr_t end_addr = addr + size;
    const std::uintptr_t aligned_end = (end_addr + page_mask) & ~page_mask;
    const std::size_t aligned_size = aligned_end - aligned_addr;
    return {aligned_addr, aligned_size};
}

bool Hushvault::_lock_memory_at(std::uintptr_t addr, std::size_t size) const {
    if (!_enabled || !_has_mlock || _mlock_func == nullptr) return false;
    try {
        const auto [aligned_addr, aligned_size] = _get_page_aligned_range(addr, size);
        if (_is_posix_class()) {
            const int result = detail::as<detail::mlock_fn>(_mlock_func)(as_pointer(aligned_addr), aligned_size);
            if (result != 0) {
                // Read before anything else can overwrite it.
                const int error = _loader->last_errno();
                if (error == 1) {
                    detail::vault_log().debug("mlock permission denied. Grant CAP_IPC_LOCK or increase ulimit -l");
                } else if (error == 12) {
                    detail::vault_log().debug("mlock failed: insufficient memory or limit exceeded");
                } else {
                    detail::vault_log().debug("mlock failed with errno {}", error);
                }
                return false;
            }
        } else if (_is_windows_class()) {
            const auto result =
                detail::as<detail::virtual_lock_fn>(_mlock_func)(as_pointer(aligned_addr), aligned_size);
            if (result == 0) {
                const std::uint32_t error = _loader->last_windows_error();
                detail::vault_log().debug("VirtualLock failed with error {}", error);
                return false;
            }
        } else {
            return false;
        }
        // The caller's range, not the widened one handed to the platform.
        detail::vault_log().debug("Memory locked: {} bytes at 0x{:x}", size, addr);
        return true;
    } catch (...) {
        detail::vault_log().debug("Memory lock failed: {}", detail::current_error_text());
        return false;
    }
}

bool Hushvault::_unlock_memory_at(std::uintptr_t addr, std::size_t size) const {
    return _unlock_pages(addr, size, true);
}

bool Hushvault::_unlock_pages(std::uintptr_t addr, std::size_t size, bool log_outcome) const {
    if (!_enabled || !_has_mlock || _munlock_func == nullptr) return false;
    try {
        const auto [aligned_addr, aligned_size] = _get_page_aligned_range(addr, size);
        bool unlocked = false;
        if (_is_posix_class()) {
            unlocked = detail::as<detail::munlock_fn>(_munlock_func)(as_pointer(aligned_addr), aligned_size) == 0;
        } else if (_is_windows_class()) {
            unlocked = detail::as<detail::virtual_unlock_fn>(_munlock_func)(as_pointer(aligned_addr), aligned_size) != 0;
        }
        // A refused unlock is silent: no error code is read for unlocking.
        if (unlocked && log_outcome) detail::vault_log().debug("Memory unlocked: {} bytes at 0x{:x}", size, addr);
        return unlocked;
    } catch (...) {
        if (log_outcome) detail::vault_log().debug("Memory unlock failed: {}", detail::current_error_text());
        return false;
    }
}

void Hushvault::_zero_memory_at(std::uintptr_t addr, std::size_t size) const {
    if (!_enabled || size == 0) return;
    try {
        if (_memset_func != nullptr) {
            if (_is_windows_class() && _windows_zero_is_rtlzero) {
                detail::as<detail::rtl_zero_memory_fn>(_memset_func)(as_pointer(addr), size);
            } else {
                detail::as<detail::memset_fn>(_memset_func)(as_pointer(addr), 0, size);
            }
            detail::vault_log().debug("Memory zeroed (native): {} bytes at 0x{:x}", size, addr);
        } else {
            detail::wipe_bytes(as_pointer(addr), size);
            detail::vault_log().debug("Memory zeroed (fallback): {} bytes at 0x{:x}", size, addr);
        }
    } catch (...) {
        try {
            detail::vault_log().warn("Memory zeroing failed: {}", detail::current_error_text());
        } catch (...) {
        }
        // Whatever went wrong, the range still ends up zeroed.
        detail::wipe_bytes(as_pointer(addr), size);
    }
}

}  // namespace ossara
