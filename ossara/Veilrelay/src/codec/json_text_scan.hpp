#pragma once
// The scan JSON strings spend their time in, shared by the writer and the
// reader: how many bytes from `p` on are printable ASCII other than the quote
// and the backslash, i.e. can be copied between quotes unchanged. Long
// stretches go 32 bytes at a time where the processor has AVX2; otherwise
// sixteen at a time with SSE2 where the target has it (every x86-64), eight
// at a time elsewhere.
#include "core/cpu_features.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ossara::detail {

// Whether a byte is printable ASCII other than '"' and '\\'.
constexpr bool is_plain_json_byte(unsigned char c) { return c >= 0x20 && c <= 0x7E && c != '"' && c != '\\'; }

inline std::size_t plain_json_run_narrow(const char* p, const char* end) {
    const char* const start = p;
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i below = _mm_set1_epi8(0x20);
    const __m128i above = _mm_set1_epi8(0x7E);
    while (end - p >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        // Signed compares: bytes from 0x80 on are negative, so "below" catches them too.
        const __m128i special =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                         _mm_or_si128(_mm_cmplt_epi8(v, below), _mm_cmpgt_epi8(v, above)));
        const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(special));
        if (mask != 0) return static_cast<std::size_t>(p - start) + static_cast<std::size_t>(__builtin_ctz(mask));
        p += 16;
    }
#else
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
    auto any_zero = [](std::uint64_t x) { return (x - kOnes) & ~x & kHighs; };
    while (end - p >= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        const std::uint64_t special = ((w - kOnes * 0x20) & ~w & kHighs) | (w & kHighs) | any_zero(w ^ (kOnes * '"')) |
                                      any_zero(w ^ (kOnes * '\\')) | any_zero(w ^ (kOnes * 0x7F));
        if (special != 0) break;
        p += 8;
    }
#endif
    while (p != end && is_plain_json_byte(static_cast<unsigned char>(*p))) ++p;
    return static_cast<std::size_t>(p - start);
}

// The same answer with AVX2 (json_text_scan.cpp); only where cpu_has_avx2().
std::size_t plain_json_run_wide(const char* p, const char* end) noexcept;

inline std::size_t plain_json_run(const char* p, const char* end) {
    if (end - p >= 64 && cpu_has_avx2()) return plain_json_run_wide(p, end);
    return plain_json_run_narrow(p, end);
}

// The size of the bytes [p, end) of a UTF-8 string once written between
// quotes by the writer (escapes included, quotes not), in one pass that
// never stops at a special byte: what the writer reserves before it writes.
// Only an upper bound for a string that is not valid UTF-8 (which the writer
// refuses anyway).
std::size_t written_string_size(const char* p, const char* end) noexcept;

}  // namespace ossara::detail
