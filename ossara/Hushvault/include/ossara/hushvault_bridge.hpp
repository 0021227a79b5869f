#pragma once
// The binary boundary between libVeilrelay and libHushvault.
//
// libVeilrelay does not link against libHushvault: it dlopen()s it and
// resolves exactly the two extern "C" entry points declared below. What they
// return is reached only through the virtual functions of these two interface
// classes, so the client needs no other symbol of the secure-memory library.
// Both sides include this header; it must stay header-only and stable.
//
// The interface only grows: a new version appends entry points and slots at
// the end of an interface class, never changes or removes one. A client binds
// a library of an older version by using only what that version has
// (kBridgeVersion below says which version this header describes).

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
    // Version 2: gives back the lock that lock_memory took on `data` (locks
    // nest per page). A version 1 object has no such slot: never call it there.
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

// Version 2: the version of this interface that the library implements. A
// library without this entry point implements version 1.
std::uint32_t ossara_hushvault_bridge_version();

// Names and types the client resolves with dlsym.
using ossara_hushvault_secure_bytearray_fn = decltype(&ossara_hushvault_secure_bytearray);
using ossara_hushvault_get_secure_memory_fn = decltype(&ossara_hushvault_get_secure_memory);
using ossara_hushvault_bridge_version_fn = decltype(&ossara_hushvault_bridge_version);
}

namespace ossara::bridge {
// 1: the two entry points; SecureMemory without unlock_memory.
// 2: SecureMemory::unlock_memory, and ossara_hushvault_bridge_version.
inline constexpr std::uint32_t kBridgeVersion = 2;
inline constexpr const char* kSecureBytearraySymbol = "ossara_hushvault_secure_bytearray";
inline constexpr const char* kGetSecureMemorySymbol = "ossara_hushvault_get_secure_memory";
inline constexpr const char* kBridgeVersionSymbol = "ossara_hushvault_bridge_version";
}  // namespace ossara::bridge
