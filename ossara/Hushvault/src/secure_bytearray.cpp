// The scoped secure buffers: secure_bytearray and the deprecated secure_bytes.
#include "detail/logging.hpp"
#include "detail/unwinding.hpp"

#include <ossara/Hushvault.hpp>

namespace ossara {

detail::CancellationHold::CancellationHold() noexcept {
#if defined(__unix__) || defined(__APPLE__)
    if constexpr (!kCancellationUnwinds) _held = ::pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &_previous) == 0;
#endif
}

detail::CancellationHold::~CancellationHold() {
#if defined(__unix__) || defined(__APPLE__)
    if (_held) ::pthread_setcancelstate(_previous, nullptr);
#endif
}

secure_bytearray::secure_bytearray(std::vector<std::uint8_t>& data, bool lock)
    : _lock(lock), _sm(_get_secure_memory()), _secure_buf(_sm->create_secure_buffer(data)) {
    _enter();
}

secure_bytearray::secure_bytearray(std::span<std::uint8_t> data, bool lock)
    : _lock(lock), _sm(_get_secure_memory()), _secure_buf(_sm->create_secure_buffer(data)) {
    _enter();
}

secure_bytearray::secure_bytearray(std::vector<std::uint8_t>&& data, bool lock)
    : _lock(lock), _sm(_get_secure_memory()), _secure_buf(_sm->create_secure_buffer(std::move(data))) {
    _enter();
}

secure_bytearray::secure_bytearray(std::span<const std::uint8_t> data, bool lock)
    : _lock(lock), _sm(_get_secure_memory()), _secure_buf(_sm->create_secure_buffer(data)) {
    _enter();
}

secure_bytearray::secure_bytearray(std::string_view data, bool lock)
    : _lock(lock), _sm(_get_secure_memory()), _secure_buf(_sm->create_secure_buffer(data)) {
    _enter();
}

secure_bytearray::~secure_bytearray() { _leave(); }

void secure_bytearray::_enter() {
    if (!_lock) return;
    // From here on the clean-up runs however entering ends; a constructor
    // that throws gets no destructor call, so run it by hand.
    try {
        _locked_result = _secure_buf.lock();
        const std::size_t n = _secure_buf.length();
        if (*_locked_result) {
            detail::vault_log().debug("Memory locked: {} bytes", n);
        } else {
            detail::vault_log().debug("Memory locking not available for {} bytes, using zeroing only", n);
        }
    } catch (...) {
        // A cancelled thread's unwinding included.
        _leave();
        throw;
    }
}

void secure_bytearray::_leave() {
    // Never throws: a destructor may run while another error propagates. A
    // thread cancelled meanwhile would unwind out of that destructor, so
    // cancellation waits until the clean-up is done.
    const detail::NoCancellation hold_off_cancellation;
    try {
        const std::size_t n = _secure_buf.length();
        _secure_buf.zero();
        detail::vault_log().debug("Memory zeroed: {} bytes", n);
        if (_lock) {
            if (_secure_buf.unlock()) {
                detail::vault_log().debug("Memory unlocked: {} bytes", n);
            } else {
                // The buffer keeps its pages and gives them back when destroyed.
                detail::vault_log().debug("Memory unlock refused: {} bytes stay locked", n);
            }
        }
    } catch (const detail::forced_unwind&) {
        throw;
    } catch (...) {
    }
}

// Defining the deprecated guard's constructors is not a use of them.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif

secure_bytes::secure_bytes(std::span<const std::uint8_t> data, bool lock) {
    _warn();
    _inner.emplace(data, lock);
}

secure_bytes::secure_bytes(std::string_view data, bool lock) {
    _warn();
    _inner.emplace(data, lock);
}

secure_bytes::secure_bytes(std::vector<std::uint8_t>& data, bool lock) {
    _warn();
    _inner.emplace(data, lock);
}

secure_bytes::secure_bytes(std::span<std::uint8_t> data, bool lock) {
    _warn();
    _inner.emplace(data, lock);
}

secure_bytes::secure_bytes(std::vector<std::uint8_t>&& data, bool lock) {
    _warn();
    _inner.emplace(std::move(data), lock);
}

#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

void secure_bytes::_warn() {
    detail::vault_log().warn(
        "secure_bytes() is deprecated. Use secure_bytearray() instead. The original bytes object cannot be securely "
        "zeroed.");
}

}  // namespace ossara
