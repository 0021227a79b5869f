// The JSON string scan 32 bytes at a time, compiled for AVX2 with a function
// attribute; json_text_scan.hpp calls it only where the processor has AVX2.
#include "codec/json_text_scan.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>

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
