// The address-range layer: page alignment, locking, unlocking and zeroing of
// a raw range through the bound platform functions.
#include "detail/loader.hpp"
#include "detail/logging.hpp"
#include "detail/native_types.hpp"
#include "detail/unwinding.hpp"
#include "detail/wipe.hpp"

#include <ossara/Hushvault.hpp>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include <limits>
#include <optional>
#include <vector>

namespace ossara {
namespace {

void* as_pointer(std::uintptr_t addr) noexcept { return reinterpret_cast<void*>(addr); }

// EAGAIN as Darwin numbers it (Linux's is 11): the handler may be driven on
// any system under the "darwin" identifier, so the value is spelled out.
constexpr long long kDarwinEagain = 35;

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

bool Hushvault::_platform_lock(std::uintptr_t addr, std::size_t size) const {
    if (_is_posix_class()) return detail::as<detail::mlock_fn>(_mlock_func)(as_pointer(addr), size) == 0;
    if (_is_windows_class()) return detail::as<detail::virtual_lock_fn>(_mlock_func)(as_pointer(addr), size) != 0;
    return false;
}

bool Hushvault::_platform_unlock(std::uintptr_t addr, std::size_t size) const {
    if (_is_posix_class()) return detail::as<detail::munlock_fn>(_munlock_func)(as_pointer(addr), size) == 0;
    if (_is_windows_class()) return detail::as<detail::virtual_unlock_fn>(_munlock_func)(as_pointer(addr), size) != 0;
    return false;
}

void Hushvault::_exclude_from_dumps(std::uintptr_t addr, std::size_t size) const {
#if defined(__linux__)
    // Best effort: a page that stays in core dumps is still locked and zeroed.
    if (_madvise_func != nullptr && size != 0)
        detail::as<detail::madvise_fn>(_madvise_func)(as_pointer(addr), size, MADV_DONTDUMP);
#else
    (void)addr, (void)size;
#endif
}

// What the page-lock records ask of this handler's bound functions.
class Hushvault::page_calls final : public detail::PagePlatform {
public:
    page_calls(const Hushvault& handler, std::optional<long long>* refusal) : _handler(handler), _refusal(refusal) {}

    bool lock(std::uintptr_t first, std::size_t length) override {
        if (_handler._platform_lock(first, length)) return true;
        // Read before anything else can overwrite it.
        if (_refusal != nullptr)
            *_refusal = _handler._is_windows_class() ? static_cast<long long>(_handler._loader->last_windows_error())
                                                     : static_cast<long long>(_handler._loader->last_errno());
        return false;
    }
    bool unlock(std::uintptr_t first, std::size_t length) override { return _handler._platform_unlock(first, length); }
    // Darwin's kernel counts every mlock of a page; one munlock takes one away.
    bool counts_each_lock() const override { return _handler._platform == "darwin"; }
    bool excludes_from_dumps() const override { return _handler._madvise_func != nullptr; }
    void exclude_from_dumps(std::uintptr_t first, std::size_t length) override {
        _handler._exclude_from_dumps(first, length);
    }

private:
    const Hushvault& _handler;
    std::optional<long long>* _refusal;
};

namespace {

// Whether the records can hold [first, first + length): not empty, and not
// wrapping past the end of the address space.
bool recordable(std::uintptr_t first, std::size_t length) noexcept {
    return length != 0 && length <= std::numeric_limits<std::uintptr_t>::max() - first;
}

}  // namespace

bool Hushvault::_acquire_pages(std::uintptr_t addr, std::size_t size, std::uintptr_t aligned_addr,
                               std::size_t aligned_size, std::optional<long long>& refusal) const {
    page_calls calls(*this, &refusal);
    // A range of no whole page has nothing to record, but the platform still
    // sees the call; so does a wrapping one, which it refuses.
    if (!recordable(aligned_addr, aligned_size)) {
        if (!calls.lock(aligned_addr, aligned_size)) return false;
        _exclude_from_dumps(aligned_addr, aligned_size);
        return true;
    }
    return _loader->page_locks().acquire(addr, size, aligned_addr, aligned_size, calls);
}

bool Hushvault::_release_pages(std::uintptr_t addr, std::size_t size, std::uintptr_t aligned_addr,
                               std::size_t aligned_size) const {
    if (!recordable(aligned_addr, aligned_size)) return _platform_unlock(aligned_addr, aligned_size);
    page_calls calls(*this, nullptr);
    return _loader->page_locks().release(addr, size, aligned_addr, aligned_size, calls);
}

void Hushvault::_log_lock_refusal(long long error) const {
    if (_is_windows_class()) {
        detail::vault_log().debug("VirtualLock failed with error {}", error);
    } else if (error == 1) {
        detail::vault_log().debug("mlock permission denied. Grant CAP_IPC_LOCK or increase ulimit -l");
    } else if (error == 12 || (_platform == "darwin" && error == kDarwinEagain)) {
        // Darwin refuses a lock beyond its wiring limit with EAGAIN.
        detail::vault_log().debug("mlock failed: insufficient memory or limit exceeded");
    } else {
        detail::vault_log().debug("mlock failed with errno {}", error);
    }
}

bool Hushvault::_lock_memory_at(std::uintptr_t addr, std::size_t size) const {
    if (!_enabled || !_has_mlock || _mlock_func == nullptr) return false;
    // The pages are counted from the moment the platform call succeeded; a
    // thread cancelled while the outcome is logged gives them back, as its
    // caller never learns that they were locked.
    std::pair<std::uintptr_t, std::size_t> held{0, 0};
    bool counted = false;
    try {
        const auto [aligned_addr, aligned_size] = _get_page_aligned_range(addr, size);
        std::optional<long long> refusal;
        if (!_acquire_pages(addr, size, aligned_addr, aligned_size, refusal)) {
            if (refusal) _log_lock_refusal(*refusal);
            return false;
        }
        held = {aligned_addr, aligned_size};
        counted = true;
        // The caller's range, not the widened one handed to the platform.
        detail::vault_log().debug("Memory locked: {} bytes at 0x{:x}", size, addr);
        return true;
    } catch (const detail::forced_unwind&) {
        if (counted) _release_pages(addr, size, held.first, held.second);
        throw;
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
    // As for locking: a thread cancelled while the outcome is logged takes
    // the pages back, as its caller still records them as locked.
    std::pair<std::uintptr_t, std::size_t> released{0, 0};
    bool uncounted = false;
    try {
        const auto [aligned_addr, aligned_size] = _get_page_aligned_range(addr, size);
        // A refused unlock is silent here: no error code is read for unlocking.
        const bool unlocked = _release_pages(addr, size, aligned_addr, aligned_size);
        if (unlocked) {
            released = {aligned_addr, aligned_size};
            uncounted = true;
        }
        if (unlocked && log_outcome) detail::vault_log().debug("Memory unlocked: {} bytes at 0x{:x}", size, addr);
        return unlocked;
    } catch (const detail::forced_unwind&) {
        std::optional<long long> ignored;
        if (uncounted) _acquire_pages(addr, size, released.first, released.second, ignored);
        throw;
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
    } catch (const detail::forced_unwind&) {
        detail::wipe_bytes(as_pointer(addr), size);
        throw;
    } catch (...) {
        try {
            detail::vault_log().warn("Memory zeroing failed: {}", detail::current_error_text());
        } catch (const detail::forced_unwind&) {
            detail::wipe_bytes(as_pointer(addr), size);
            throw;
        } catch (...) {
        }
        // Whatever went wrong, the range still ends up zeroed.
        detail::wipe_bytes(as_pointer(addr), size);
    }
}

}  // namespace ossara
