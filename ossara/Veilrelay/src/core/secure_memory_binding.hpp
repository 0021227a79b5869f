#pragma once
// The client's run-time binding to libHushvault (dlopen of the sibling
// library, two extern "C" entry points). Bound once, on first use.
#include <cstdint>
#include <functional>
#include <span>

namespace ossara::bridge {
class SecureScope;
}

namespace ossara::detail {

// True when both entry points were bound. The first call binds, logging
// "Hushvault module not available, falling back to standard memory handling"
// at warning level when the library or an entry point is missing.
bool secure_memory_available();

// An entered secure_bytearray guard; leaving (destruction) zeroes and unlocks
// the protected copy.
class SecureScope {
public:
    explicit SecureScope(bridge::SecureScope* scope) noexcept : scope_(scope) {}
    SecureScope(SecureScope&& other) noexcept : scope_(other.scope_) { other.scope_ = nullptr; }
    SecureScope(const SecureScope&) = delete;
    SecureScope& operator=(const SecureScope&) = delete;
    SecureScope& operator=(SecureScope&&) = delete;
    ~SecureScope();
    std::span<std::uint8_t> data() noexcept;

private:
    bridge::SecureScope* scope_;
};

// Enters secure_bytearray(source, lock): the source is wiped, the bytes live
// on in the returned guard. Requires secure_memory_available().
SecureScope enter_secure_bytearray(std::span<std::uint8_t> source, bool lock = true);

// Locks, zeroes, then unlocks `bytes` through the process-wide handler (key
// protection). Returns whether the lock succeeded; errors propagate.
bool lock_and_zero_with_process_handler(std::span<std::uint8_t> bytes);
// The same, calling `after_lock` with the lock's result before zeroing (so a
// caller can report the lock before the zeroing runs).
bool lock_and_zero_with_process_handler(std::span<std::uint8_t> bytes, const std::function<void(bool locked)>& after_lock);

}  // namespace ossara::detail
