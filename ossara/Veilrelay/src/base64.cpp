// Base64 with the standard alphabet. Decoding is lenient in the same way as
// the router's reference implementation: characters outside the alphabet are
// skipped, a complete padding sequence ends the data, and only an incomplete
// final group is an error.
#include "detail/base64.hpp"

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

void base64_encode_append(std::string& out, std::span<const std::uint8_t> bytes) {
    out.reserve(out.size() + (bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t n = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
        const char group[4] = {kAlphabet[n >> 18], kAlphabet[(n >> 12) & 63], kAlphabet[(n >> 6) & 63], kAlphabet[n & 63]};
        out.append(group, 4);
    }
    const std::size_t rest = bytes.size() - i;
    if (rest == 1) {
        const std::uint32_t n = std::uint32_t{bytes[i]} << 16;
        const char group[4] = {kAlphabet[n >> 18], kAlphabet[(n >> 12) & 63], '=', '='};
        out.append(group, 4);
    } else if (rest == 2) {
        const std::uint32_t n = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8);
        const char group[4] = {kAlphabet[n >> 18], kAlphabet[(n >> 12) & 63], kAlphabet[(n >> 6) & 63], '='};
        out.append(group, 4);
    }
}

std::string base64_encode(std::span<const std::uint8_t> bytes) {
    std::string out;
    base64_encode_append(out, bytes);
    return out;
}

std::vector<std::uint8_t> base64_decode_lenient(std::string_view text) {
    std::vector<std::uint8_t> out;
    out.reserve(text.size() / 4 * 3 + 3);
    int quad_pos = 0;
    int pads = 0;
    std::size_t data_chars = 0;
    std::uint32_t left = 0;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c >= 0x80) throw ValueError("string argument should contain only ASCII characters");
        if (c == '=') {
            // Padding after at least two data characters of a group completes it.
            if (quad_pos >= 2 && quad_pos + ++pads >= 4) return out;
            continue;
        }
        const std::uint8_t v = kDecode[c];
        if (v == kInvalid) continue;
        ++data_chars;
        pads = 0;
        switch (quad_pos) {
            case 0: left = v; quad_pos = 1; break;
            case 1: out.push_back(static_cast<std::uint8_t>((left << 2) | (v >> 4))); left = v & 0x0F; quad_pos = 2; break;
            case 2: out.push_back(static_cast<std::uint8_t>((left << 4) | (v >> 2))); left = v & 0x03; quad_pos = 3; break;
            default: out.push_back(static_cast<std::uint8_t>((left << 6) | v)); left = 0; quad_pos = 0; break;
        }
    }
    if (quad_pos == 1)
        throw ValueError("Invalid base64-encoded string: number of data characters (" + std::to_string(data_chars) +
                         ") cannot be 1 more than a multiple of 4");
    if (quad_pos != 0) throw ValueError("Incorrect padding");
    return out;
}

}  // namespace ossara::detail
