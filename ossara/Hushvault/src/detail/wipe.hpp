#pragma once
// Byte-by-byte overwrite with zeros that the compiler may not drop: each byte
// is written through a volatile pointer, in ascending order.
#include <cstddef>
#include <cstdint>
#if defined(__GLIBC__)
#include <string.h>
#endif

namespace ossara::detail {

inline void wipe_bytes(void* address, std::size_t size) noexcept {
    volatile std::uint8_t* p = static_cast<volatile std::uint8_t*>(address);
    for (std::size_t i = 0; i < size; ++i) p[i] = 0;
}

// Overwrites a whole buffer with zeros in a way the compiler may not drop,
// as fast as memset. For the passes over a buffer's elements, where only the
// result matters; the fallback zeroing of a raw range keeps wipe_bytes.
inline void clear_bytes(void* address, std::size_t size) noexcept {
#if defined(__GLIBC__)
    if (size != 0) ::explicit_bzero(address, size);
#else
    wipe_bytes(address, size);
#endif
}

}  // namespace ossara::detail
