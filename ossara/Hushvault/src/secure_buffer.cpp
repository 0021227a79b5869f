// SecureBuffer: a protected copy of sensitive bytes with a fixed address.
#include "detail/unwinding.hpp"
#include "detail/wipe.hpp"

#include <ossara/Hushvault.hpp>

#include <algorithm>
#include <stdexcept>

namespace ossara {
namespace {

std::span<const std::uint8_t> as_bytes(std::string_view text) noexcept {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Checked before anything is copied, so a refused buffer leaves no copy behind.
std::shared_ptr<Hushvault> require_handler(std::shared_ptr<Hushvault> handler) {
    if (!handler) throw std::invalid_argument("SecureBuffer needs a secure-memory handler");
    return handler;
}

// Bytes of the source copied, then wiped, at a time: the wipe finds them
// still in cache instead of reading a large source a second time.
constexpr std::size_t kCopyPiece = 64 * 1024;

// The copy the buffer keeps. The caller's mutable source (`wipe_source`,
// the same bytes, or empty for a byte string) is wiped at once: when this
// returns, the bytes live on only in the copy.
std::vector<std::uint8_t> copy_wiping_source(std::span<const std::uint8_t> bytes, std::span<std::uint8_t> wipe_source) {
    if (wipe_source.empty()) return {bytes.begin(), bytes.end()};
    std::vector<std::uint8_t> copy;
    copy.reserve(bytes.size());
    for (std::size_t at = 0; at < bytes.size(); at += kCopyPiece) {
        const std::size_t n = std::min(kCopyPiece, bytes.size() - at);
        copy.insert(copy.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at),
                    bytes.begin() + static_cast<std::ptrdiff_t>(at + n));
        detail::clear_bytes(wipe_source.data() + at, n);
    }
    return copy;
}

}  // namespace

SecureBuffer::SecureBuffer(std::vector<std::uint8_t>& data, std::shared_ptr<Hushvault> secure_memory)
    : SecureBuffer(std::span<const std::uint8_t>(data), std::span<std::uint8_t>(data), std::move(secure_memory)) {}

SecureBuffer::SecureBuffer(std::span<std::uint8_t> data, std::shared_ptr<Hushvault> secure_memory)
    : SecureBuffer(std::span<const std::uint8_t>(data), data, std::move(secure_memory)) {}

SecureBuffer::SecureBuffer(std::vector<std::uint8_t>&& data, std::shared_ptr<Hushvault> secure_memory)
    : SecureBuffer(std::span<const std::uint8_t>(data), std::span<std::uint8_t>(data), std::move(secure_memory)) {}

SecureBuffer::SecureBuffer(std::span<const std::uint8_t> data, std::shared_ptr<Hushvault> secure_memory)
    : SecureBuffer(data, std::span<std::uint8_t>(), std::move(secure_memory)) {}

SecureBuffer::SecureBuffer(std::string_view data, std::shared_ptr<Hushvault> secure_memory)
    : SecureBuffer(as_bytes(data), std::span<std::uint8_t>(), std::move(secure_memory)) {}

SecureBuffer::SecureBuffer(std::span<const std::uint8_t> bytes, std::span<std::uint8_t> wipe_source,
                           std::shared_ptr<Hushvault> secure_memory)
    : _secure_memory(require_handler(std::move(secure_memory))),
      _locked(false),
      _size(bytes.size()),
      _data(copy_wiping_source(bytes, wipe_source)),
      _ctypes_buffer(_data.data(), _size),
      _address(reinterpret_cast<std::uintptr_t>(_ctypes_buffer.data())) {}

SecureBuffer::~SecureBuffer() {
    // Destruction must not leave secrets behind: wipe the bytes and give back
    // any lock still held, silently (the explicit operations do the logging).
    detail::clear_bytes(_data.data(), _data.size());
    if (_locked) _secure_memory->_unlock_pages(_address, _size, false);
}

bool SecureBuffer::lock() {
    if (_locked || !_secure_memory->enabled()) return _locked;
    _locked = _secure_memory->_lock_memory_at(_address, _size);
    return _locked;
}

bool SecureBuffer::unlock() {
    if (!_locked) return true;
    const bool result = _secure_memory->_unlock_memory_at(_address, _size);
    if (result) _locked = false;
    return result;
}

void SecureBuffer::zero() {
    _secure_memory->_zero_memory_at(_address, _size);
    detail::clear_bytes(_data.data(), _data.size());
}

SecureBuffer& SecureBuffer::enter() {
    lock();
    return *this;
}

void SecureBuffer::exit() noexcept {
    // Runs in a destructor (Scope): cancellation waits until it is done.
    const detail::NoCancellation hold_off_cancellation;
    zero();
    unlock();
}

std::vector<std::uint8_t> SecureBuffer::to_bytes() const { return _data; }

}  // namespace ossara
