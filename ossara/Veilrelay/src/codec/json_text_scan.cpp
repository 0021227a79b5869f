// The JSON string scans 32 bytes at a time, compiled for AVX2 with a
// function attribute and called only where the processor has AVX2; the
// written size of a string, which uses them.
#include "codec/json_text_scan.hpp"

#include <array>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define OSSARA_WIDE_SCAN 1
#endif

namespace ossara::detail {

namespace {

// What each byte adds to a string's written size beyond one character: a
// short escape one, another control character or DEL five (\u00XX); a
// sequence of two or three bytes is one \u escape and of four bytes two, so
// its lead byte adds five or eleven and each continuation byte takes one off.
constexpr std::array<std::int8_t, 256> kExtraBytes = [] {
    std::array<std::int8_t, 256> extra{};
    for (int c = 0; c < 0x20; ++c) extra[static_cast<std::size_t>(c)] = 5;
    for (const char c : {'"', '\\', '\n', '\r', '\t', '\b', '\f'}) extra[static_cast<unsigned char>(c)] = 1;
    extra[0x7F] = 5;
    for (int c = 0x80; c < 0xC0; ++c) extra[static_cast<std::size_t>(c)] = -1;
    for (int c = 0xC0; c < 0xF0; ++c) extra[static_cast<std::size_t>(c)] = 5;
    for (int c = 0xF0; c < 0x100; ++c) extra[static_cast<std::size_t>(c)] = 11;
    return extra;
}();

// Blocks without a special byte (nearly all of a chat text) cost a compare;
// the special bytes of the others a table look-up each.
std::ptrdiff_t extra_narrow(const unsigned char*& p, const unsigned char* end) {
    std::ptrdiff_t extra = 0;
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i below = _mm_set1_epi8(0x20);
    const __m128i above = _mm_set1_epi8(0x7E);
    for (; end - p >= 16; p += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i special =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                         _mm_or_si128(_mm_cmplt_epi8(v, below), _mm_cmpgt_epi8(v, above)));
        for (auto mask = static_cast<unsigned>(_mm_movemask_epi8(special)); mask != 0; mask &= mask - 1)
            extra += kExtraBytes[p[__builtin_ctz(mask)]];
    }
#endif
    for (; p < end; ++p) extra += kExtraBytes[*p];
    return extra;
}

#ifdef OSSARA_WIDE_SCAN
__attribute__((target("avx2"))) std::ptrdiff_t extra_wide(const unsigned char*& p, const unsigned char* end) {
    std::ptrdiff_t extra = 0;
    const __m256i quote = _mm256_set1_epi8('"');
    const __m256i backslash = _mm256_set1_epi8('\\');
    const __m256i below = _mm256_set1_epi8(0x20);
    const __m256i above = _mm256_set1_epi8(0x7E);
    for (; end - p >= 32; p += 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const __m256i special =
            _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(v, quote), _mm256_cmpeq_epi8(v, backslash)),
                            _mm256_or_si256(_mm256_cmpgt_epi8(below, v), _mm256_cmpgt_epi8(v, above)));
        for (auto mask = static_cast<unsigned>(_mm256_movemask_epi8(special)); mask != 0; mask &= mask - 1)
            extra += kExtraBytes[p[__builtin_ctz(mask)]];
    }
    return extra;
}
#endif

}  // namespace

std::size_t written_string_size(const char* text, const char* end) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    const auto* const stop = reinterpret_cast<const unsigned char*>(end);
    std::ptrdiff_t extra = 0;
#ifdef OSSARA_WIDE_SCAN
    if (stop - p >= 64 && cpu_has_avx2()) extra += extra_wide(p, stop);
#endif
    extra += extra_narrow(p, stop);
    return static_cast<std::size_t>((end - text) + extra);
}

}  // namespace ossara::detail

#ifdef OSSARA_WIDE_SCAN

namespace ossara::detail {

__attribute__((target("avx2"))) std::size_t plain_json_run_wide(const char* p, const char* end) noexcept {
    const char* const start = p;
    const __m256i quote = _mm256_set1_epi8('"');
    const __m256i backslash = _mm256_set1_epi8('\\');
    const __m256i below = _mm256_set1_epi8(0x20);
    const __m256i above = _mm256_set1_epi8(0x7E);
    while (end - p >= 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        // Signed compares: bytes from 0x80 on are negative, so "below" catches them too.
        const __m256i special =
            _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(v, quote), _mm256_cmpeq_epi8(v, backslash)),
                            _mm256_or_si256(_mm256_cmpgt_epi8(below, v), _mm256_cmpgt_epi8(v, above)));
        const auto mask = static_cast<unsigned>(_mm256_movemask_epi8(special));
        if (mask != 0) return static_cast<std::size_t>(p - start) + static_cast<std::size_t>(__builtin_ctz(mask));
        p += 32;
    }
    return static_cast<std::size_t>(p - start) + plain_json_run_narrow(p, end);
}

}  // namespace ossara::detail

#else

namespace ossara::detail {

std::size_t plain_json_run_wide(const char* p, const char* end) noexcept { return plain_json_run_narrow(p, end); }

}  // namespace ossara::detail

#endif
