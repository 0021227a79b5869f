#pragma once
// Byte-by-byte overwrite with zeros that the compiler may not drop: each byte
// is written through a volatile pointer, in ascending order.
#include <cstddef>
#include <cstdint>

namespace ossara::detail {

inline void wipe_bytes(void* address, std::size_t size) noexcept {
    volatile std::uint8_t* p = static_cast<volatile std::uint8_t*>(address);
    for (std::size_t i = 0; i < size; ++i) p[i] = 0;
}

}  // namespace ossara::detail
