#include "codec/utf8.hpp"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace ossara::detail {

namespace {
std::string codec_error(std::string_view bytes, std::size_t pos, const char* reason) {
    char byte[8];
    std::snprintf(byte, sizeof byte, "0x%02x", static_cast<unsigned char>(bytes[pos]));
    return std::string("'utf-8' codec can't decode byte ") + byte + " in position " + std::to_string(pos) + ": " +
           reason;
}
}  // namespace

Utf8Sequence utf8_sequence(std::string_view s, std::size_t i, bool allow_surrogates) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) return {1, nullptr};
    std::size_t len;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED && !allow_surrogates) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return {0, "invalid start byte"};
    }
    for (std::size_t k = 1; k < len; ++k) {
        if (i + k >= s.size()) return {0, "unexpected end of data"};
        const auto cc = static_cast<unsigned char>(s[i + k]);
        const bool ok = k == 1 ? (cc >= lo && cc <= hi) : (cc & 0xC0) == 0x80;
        if (!ok) return {0, "invalid continuation byte"};
    }
    return {len, nullptr};
}

std::optional<std::string> utf8_error(std::string_view s, bool allow_surrogates) {
    std::size_t i = 0;
    while (i < s.size()) {
        // Runs of ASCII, the bulk of packages and answers, eight bytes at a time.
        while (i + 8 <= s.size()) {
            std::uint64_t word;
            std::memcpy(&word, s.data() + i, 8);
            if ((word & 0x8080808080808080ULL) != 0) break;
            i += 8;
        }
        if (i == s.size()) break;
        const Utf8Sequence sequence = utf8_sequence(s, i, allow_surrogates);
        if (sequence.error != nullptr) return codec_error(s, i, sequence.error);
        i += sequence.length;
    }
    return std::nullopt;
}

void append_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

}  // namespace ossara::detail
