// AVX2 base64 blocks. Encoding spreads each three bytes over four lanes and
// maps the 6-bit values to characters with one table lookup; decoding checks
// a block of characters against the alphabet with two nibble lookups, turns
// the characters into 6-bit values and packs them back into bytes. The
// code is compiled for AVX2 with a function attribute and runs only where the
// processor has it, so the library itself still runs anywhere.
#include "codec/base64_blocks.hpp"

#include "core/cpu_features.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define OSSARA_BASE64_AVX2 1
#include <immintrin.h>
#endif

namespace ossara::detail::base64_blocks {

#ifdef OSSARA_BASE64_AVX2

namespace {

// 24 bytes (12 in each 128-bit lane) to 32 six-bit values, one per byte.
__attribute__((target("avx2"))) inline __m256i split_into_sextets(const std::uint8_t* in) noexcept {
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 12));
    const __m256i bytes = _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
    // Each group of three bytes a, b, c becomes the 32-bit word b a c b, so
    // every sextet sits inside one 16-bit half where a multiply can move it.
    const __m256i words = _mm256_shuffle_epi8(
        bytes, _mm256_set_epi8(10, 11, 9, 10, 7, 8, 6, 7, 4, 5, 3, 4, 1, 2, 0, 1,  //
                               10, 11, 9, 10, 7, 8, 6, 7, 4, 5, 3, 4, 1, 2, 0, 1));
    const __m256i first_and_third =
        _mm256_mulhi_epu16(_mm256_and_si256(words, _mm256_set1_epi32(0x0fc0fc00)), _mm256_set1_epi32(0x04000040));
    const __m256i second_and_fourth =
        _mm256_mullo_epi16(_mm256_and_si256(words, _mm256_set1_epi32(0x003f03f0)), _mm256_set1_epi32(0x01000010));
    return _mm256_or_si256(first_and_third, second_and_fourth);
}

// Six-bit values to alphabet characters: the value plus an offset chosen by
// its range (A-Z, a-z, 0-9, '+', '/').
__attribute__((target("avx2"))) inline __m256i sextets_to_characters(__m256i values) noexcept {
    const __m256i offsets = _mm256_setr_epi8(65, 71, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -19, -16, 0, 0,  //
                                             65, 71, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -19, -16, 0, 0);
    // 0..25 -> 0, 26..51 -> 1, 52..61 -> 2..11, 62 -> 12, 63 -> 13
    __m256i range = _mm256_subs_epu8(values, _mm256_set1_epi8(51));
    range = _mm256_sub_epi8(range, _mm256_cmpgt_epi8(values, _mm256_set1_epi8(25)));
    return _mm256_add_epi8(values, _mm256_shuffle_epi8(offsets, range));
}

__attribute__((target("avx2"))) std::size_t encode_avx2(const std::uint8_t* in, std::size_t size, char* out) noexcept {
    std::size_t done = 0;
    for (; done + 28 <= size; done += 24, out += 32) {
        const __m256i text = sextets_to_characters(split_into_sextets(in + done));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), text);
    }
    return done;
}

__attribute__((target("avx2"))) std::size_t decode_avx2(const unsigned char* in, std::size_t size,
                                                        std::uint8_t* out) noexcept {
    // A character is outside the alphabet when the entries for its low and
    // high nibble share a bit; bytes from 0x80 up are all outside.
    const __m256i low_nibble_bits = _mm256_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13,
                                                     0x1A, 0x1B, 0x1B, 0x1B, 0x1A,  //
                                                     0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13,
                                                     0x1A, 0x1B, 0x1B, 0x1B, 0x1A);
    const __m256i high_nibble_bits = _mm256_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10,
                                                      0x10, 0x10, 0x10, 0x10, 0x10,  //
                                                      0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10,
                                                      0x10, 0x10, 0x10, 0x10, 0x10);
    // What turns a character into its value, by high nibble ('/' apart).
    const __m256i value_offsets = _mm256_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0,  //
                                                   0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m256i slash = _mm256_set1_epi8(0x2F);
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    std::size_t done = 0;
    for (; done + 32 <= size; done += 32, out += 24) {
        const __m256i text = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + done));
        const __m256i high = _mm256_and_si256(_mm256_srli_epi32(text, 4), nibble);
        const __m256i low_bits = _mm256_shuffle_epi8(low_nibble_bits, _mm256_and_si256(text, nibble));
        const __m256i high_bits = _mm256_shuffle_epi8(high_nibble_bits, high);
        if (!_mm256_testz_si256(low_bits, high_bits)) break;  // the plain code reads this block
        const __m256i is_slash = _mm256_cmpeq_epi8(text, slash);
        const __m256i values = _mm256_add_epi8(text, _mm256_shuffle_epi8(value_offsets, _mm256_add_epi8(is_slash, high)));
        // Four sextets to a 24-bit number per 32-bit lane, then its three
        // bytes in order, then the two lanes' 12 bytes side by side.
        const __m256i pairs = _mm256_maddubs_epi16(values, _mm256_set1_epi32(0x01400140));
        const __m256i groups = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00011000));
        const __m256i ordered = _mm256_shuffle_epi8(
            groups, _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1,  //
                                     2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1));
        const __m256i packed = _mm256_permutevar8x32_epi32(ordered, _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7));
        // Exactly 24 bytes are written: `out` has no room to spare.
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(packed));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 16), _mm256_extracti128_si256(packed, 1));
    }
    return done;
}

}  // namespace

std::size_t encode(const std::uint8_t* in, std::size_t size, char* out) noexcept {
    return cpu_has_avx2() ? encode_avx2(in, size, out) : 0;
}

std::size_t decode(const unsigned char* in, std::size_t size, std::uint8_t* out) noexcept {
    return cpu_has_avx2() ? decode_avx2(in, size, out) : 0;
}

#else

std::size_t encode(const std::uint8_t*, std::size_t, char*) noexcept { return 0; }
std::size_t decode(const unsigned char*, std::size_t, std::uint8_t*) noexcept { return 0; }

#endif

}  // namespace ossara::detail::base64_blocks
