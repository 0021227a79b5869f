#pragma once
// The binary boundary between libVeilrelay and libHushvault.
//
// libVeilrelay does not link against libHushvault: it dlopen()s it and
// resolves exactly the two extern "C" entry points declared below. What they
// return is reached only through the virtual functions of these two interface
// classes, so the client needs no other symbol of the secure-memory library.
// Both sides include this header; it must stay header-only and stable.

#include <cstddef>
#include <cstdint>
#include <span>

namespace ossara::bridge {

// An entered secure_bytearray guard. close() leaves the guard (zero, then
// unlock, with the guard's log lines) and frees the object; it never throws.
class SecureScope {
public:
    virtual std::span<std::uint8_t> data() noexcept = 0;
    virtual void close() noexcept = 0;

protected:
    ~SecureScope() = default;
};

// A share of the process-wide handler, taken by _get_secure_memory. The
// handler lives at least until release(), which frees this object.
class SecureMemory {
public:
    virtual bool lock_memory(std::span<std::uint8_t> data) = 0;
    virtual void zero_memory(std::span<std::uint8_t> data) = 0;
    virtual void release() noexcept = 0;
    // Gives back one lock of the pages holding `data` (locks nest per page).
    // Added last, so the slots above keep their places.
    virtual bool unlock_memory(std::span<std::uint8_t> data) = 0;

protected:
    ~SecureMemory() = default;
};

}  // namespace ossara::bridge

extern "C" {

// Enters secure_bytearray over the mutable bytes [data, data + size): the
// guard copies them into its own buffer and wipes the source. Errors raised
// while entering propagate as C++ exceptions (both sides share libstdc++).
ossara::bridge::SecureScope* ossara_hushvault_secure_bytearray(std::uint8_t* data, std::size_t size, bool lock);

// Returns a share of the process-wide handler (created on first use).
ossara::bridge::SecureMemory* ossara_hushvault_get_secure_memory();

// Names and types the client resolves with dlsym.
using ossara_hushvault_secure_bytearray_fn = decltype(&ossara_hushvault_secure_bytearray);
using ossara_hushvault_get_secure_memory_fn = decltype(&ossara_hushvault_get_secure_memory);
}

namespace ossara::bridge {
inline constexpr const char* kSecureBytearraySymbol = "ossara_hushvault_secure_bytearray";
inline constexpr const char* kGetSecureMemorySymbol = "ossara_hushvault_get_secure_memory";
}  // namespace ossara::bridge
