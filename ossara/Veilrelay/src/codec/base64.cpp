// Base64 with the standard alphabet. Decoding is lenient in the same way as
// the router's reference implementation: characters outside the alphabet are
// skipped, a complete padding sequence ends the data, and only an incomplete
// final group is an error.
#include "codec/base64.hpp"

#include <ossara/veilrelay/errors.hpp>

#include <array>

namespace ossara::detail {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint8_t kInvalid = 0xFF;

constexpr std::array<std::uint8_t, 256> kDecode = [] {
    std::array<std::uint8_t, 256> table{};
    table.fill(kInvalid);
    for (std::uint8_t i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = i;
    return table;
}();

}  // namespace

// Sizes the output once and writes the groups straight into it.
template <typename Out>
void encode_append(Out& out, std::span<const std::uint8_t> bytes) {
    const std::size_t at = out.size();
    out.resize(at + (bytes.size() + 2) / 3 * 4);
    auto* o = reinterpret_cast<char*>(out.data() + at);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3, o += 4) {
        const std::uint32_t n = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
        o[0] = kAlphabet[n >> 18];
        o[1] = kAlphabet[(n >> 12) & 63];
        o[2] = kAlphabet[(n >> 6) & 63];
        o[3] = kAlphabet[n & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest == 0) return;
    const std::uint32_t n = (std::uint32_t{bytes[i]} << 16) | (rest == 2 ? std::uint32_t{bytes[i + 1]} << 8 : 0);
    o[0] = kAlphabet[n >> 18];
    o[1] = kAlphabet[(n >> 12) & 63];
    o[2] = rest == 2 ? kAlphabet[(n >> 6) & 63] : '=';
    o[3] = '=';
}

void base64_encode_append(std::string& out, std::span<const std::uint8_t> bytes) { encode_append(out, bytes); }

void base64_encode_append(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> bytes) {
    encode_append(out, bytes);
}

std::string base64_encode(std::span<const std::uint8_t> bytes) {
    std::string out;
    base64_encode_append(out, bytes);
    return out;
}

std::vector<std::uint8_t> base64_decode_lenient(std::string_view text) {
    std::vector<std::uint8_t> out(text.size() / 4 * 3 + 3);
    std::uint8_t* o = out.data();
    int quad_pos = 0;
    int pads = 0;
    std::size_t data_chars = 0;
    std::uint32_t left = 0;
    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size();
    std::size_t i = 0;
    while (i < size) {
        // Fast path: a whole group of four alphabet characters at a group boundary.
        if (quad_pos == 0 && i + 4 <= size) {
            const std::uint8_t a = kDecode[in[i]], b = kDecode[in[i + 1]], c = kDecode[in[i + 2]], d = kDecode[in[i + 3]];
            if ((a | b | c | d) < 64) {
                o[0] = static_cast<std::uint8_t>((a << 2) | (b >> 4));
                o[1] = static_cast<std::uint8_t>((b << 4) | (c >> 2));
                o[2] = static_cast<std::uint8_t>((c << 6) | d);
                o += 3;
                i += 4;
                data_chars += 4;
                pads = 0;
                continue;
            }
        }
        const unsigned char ch = in[i++];
        if (ch >= 0x80) throw ValueError("string argument should contain only ASCII characters");
        if (ch == '=') {
            // Padding after at least two data characters of a group completes it.
            if (quad_pos >= 2 && quad_pos + ++pads >= 4) {
                out.resize(static_cast<std::size_t>(o - out.data()));
                return out;
            }
            continue;
        }
        const std::uint8_t v = kDecode[ch];
        if (v == kInvalid) continue;
        ++data_chars;
        pads = 0;
        switch (quad_pos) {
            case 0: left = v; quad_pos = 1; break;
            case 1: *o++ = static_cast<std::uint8_t>((left << 2) | (v >> 4)); left = v & 0x0F; quad_pos = 2; break;
            case 2: *o++ = static_cast<std::uint8_t>((left << 4) | (v >> 2)); left = v & 0x03; quad_pos = 3; break;
            default: *o++ = static_cast<std::uint8_t>((left << 6) | v); left = 0; quad_pos = 0; break;
        }
    }
    if (quad_pos == 1)
        throw ValueError("Invalid base64-encoded string: number of data characters (" + std::to_string(data_chars) +
                         ") cannot be 1 more than a multiple of 4");
    if (quad_pos != 0) throw ValueError("Incorrect padding");
    out.resize(static_cast<std::size_t>(o - out.data()));
    return out;
}

}  // namespace ossara::detail
