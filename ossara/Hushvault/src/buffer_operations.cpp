// The buffer layer: lock, unlock and zero whole byte buffers in place, and
// wrap copies of bytes in SecureBuffer objects.
#include "detail/logging.hpp"
#include "detail/unwinding.hpp"
#include "detail/wipe.hpp"

#include <ossara/Hushvault.hpp>

namespace ossara {
namespace {

std::uintptr_t address_of(std::span<std::uint8_t> data) noexcept {
    return reinterpret_cast<std::uintptr_t>(data.data());
}

}  // namespace

SecureBuffer Hushvault::create_secure_buffer(std::vector<std::uint8_t>& data) {
    return SecureBuffer(data, shared_from_this());
}

SecureBuffer Hushvault::create_secure_buffer(std::vector<std::uint8_t>&& data) {
    return SecureBuffer(std::move(data), shared_from_this());
}

SecureBuffer Hushvault::create_secure_buffer(std::span<std::uint8_t> data) {
    return SecureBuffer(data, shared_from_this());
}

SecureBuffer Hushvault::create_secure_buffer(std::span<const std::uint8_t> data) {
    return SecureBuffer(data, shared_from_this());
}

SecureBuffer Hushvault::create_secure_buffer(std::string_view data) { return SecureBuffer(data, shared_from_this()); }

bool Hushvault::lock_memory(std::span<std::uint8_t> data) const {
    if (!_enabled) return false;
    if (!_has_mlock || data.empty()) return false;
    try {
        return _lock_memory_at(address_of(data), data.size());
    } catch (const detail::forced_unwind&) {
        throw;
    } catch (...) {
        detail::vault_log().debug("Memory lock failed: {}", detail::current_error_text());
        return false;
    }
}

bool Hushvault::unlock_memory(std::span<std::uint8_t> data) const {
    if (!_enabled) return false;
    if (!_has_mlock || data.empty()) return false;
    try {
        return _unlock_memory_at(address_of(data), data.size());
    } catch (const detail::forced_unwind&) {
        throw;
    } catch (...) {
        detail::vault_log().debug("Memory unlock failed: {}", detail::current_error_text());
        return false;
    }
}

void Hushvault::zero_memory(std::span<std::uint8_t> data) const {
    if (!_enabled || data.empty()) return;
    const std::size_t length = data.size();
    try {
        _zero_memory_at(address_of(data), length);
        // Second pass through the buffer itself, whatever the first one did.
        detail::clear_bytes(data.data(), length);
        detail::vault_log().debug("Zeroed bytearray: {} bytes", length);
    } catch (const detail::forced_unwind&) {
        detail::clear_bytes(data.data(), length);
        throw;
    } catch (...) {
        try {
            detail::vault_log().warn("Memory zeroing error: {}", detail::current_error_text());
        } catch (const detail::forced_unwind&) {
            detail::clear_bytes(data.data(), length);
            throw;
        } catch (...) {
        }
        detail::clear_bytes(data.data(), length);
    }
}

}  // namespace ossara
