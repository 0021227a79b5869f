#pragma once
// Base64 a block at a time with AVX2 (24 bytes to 32 characters and back),
// used by the encoder and decoder in base64.cpp where the processor has it.
// Both stop where the plain code must take over; their output is what the
// plain code would write for the same input.
#include <cstddef>
#include <cstdint>

namespace ossara::detail::base64_blocks {

// Encodes whole 24-byte blocks of `in` into `out` (32 characters each) while
// 28 bytes are readable; returns the bytes consumed, a multiple of 24 (0 when
// the processor lacks AVX2).
std::size_t encode(const std::uint8_t* in, std::size_t size, char* out) noexcept;

// Decodes 32-character blocks made only of alphabet characters into `out`
// (24 bytes each) and stops before the first block that holds anything else
// (padding, skipped characters, non-ASCII bytes); returns the characters
// consumed, a multiple of 32 (0 when the processor lacks AVX2).
std::size_t decode(const unsigned char* in, std::size_t size, std::uint8_t* out) noexcept;

}  // namespace ossara::detail::base64_blocks
