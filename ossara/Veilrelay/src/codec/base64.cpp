// Base64 with the standard alphabet. Decoding is lenient in the same way as
// the router's reference implementation: characters outside the alphabet are
// skipped, a complete padding sequence ends the data, and only an incomplete
// final group is an error.
#include "codec/base64.hpp"

#include "codec/base64_blocks.hpp"

#include <ossara/veilrelay/errors.hpp>

#include <array>
#include <cstring>

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

// The value of each character already shifted to its place in a group of
// four (bits 18, 12, 6, 0); a character outside the alphabet sets bit 24,
// so one test of the OR of a group's four entries finds it.
constexpr std::uint32_t kOutside = 1u << 24;
template <int Shift>
constexpr std::array<std::uint32_t, 256> shifted_table() {
    std::array<std::uint32_t, 256> table{};
    for (std::size_t c = 0; c < 256; ++c) table[c] = kDecode[c] == kInvalid ? kOutside : std::uint32_t{kDecode[c]} << Shift;
    return table;
}
constexpr auto kDecode18 = shifted_table<18>();
constexpr auto kDecode12 = shifted_table<12>();
constexpr auto kDecode6 = shifted_table<6>();
constexpr auto kDecode0 = shifted_table<0>();

// The 24 bits of the group of four characters at `in`, or a value with bit 24 set.
inline std::uint32_t group_bits(const unsigned char* in) {
    return kDecode18[in[0]] | kDecode12[in[1]] | kDecode6[in[2]] | kDecode0[in[3]];
}

// The two characters of every 12-bit value, so a group of three bytes is
// written with two lookups instead of four.
constexpr std::array<std::array<char, 2>, 4096> kPairs = [] {
    std::array<std::array<char, 2>, 4096> table{};
    for (std::size_t v = 0; v < table.size(); ++v) table[v] = {kAlphabet[v >> 6], kAlphabet[v & 63]};
    return table;
}();

}  // namespace

// Sizes the output once and writes the groups straight into it.
template <typename Out>
void encode_append(Out& out, std::span<const std::uint8_t> bytes) {
    const std::size_t at = out.size();
    out.resize(at + (bytes.size() + 2) / 3 * 4);
    auto* o = reinterpret_cast<char*>(out.data() + at);
    std::size_t i = base64_blocks::encode(bytes.data(), bytes.size(), o);
    o += i / 3 * 4;
    for (; i + 3 <= bytes.size(); i += 3, o += 4) {
        const std::uint32_t n = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
        std::memcpy(o, kPairs[n >> 12].data(), 2);
        std::memcpy(o + 2, kPairs[n & 0xFFF].data(), 2);
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

std::size_t Base64Decoder::feed(std::string_view text, std::uint8_t* out) {
    if (ended_) return 0;  // a complete padding sequence ended the data; the rest is ignored
    std::uint8_t* o = out;
    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size();
    std::size_t i = 0;
    while (i < size) {
        // Fast paths at a group boundary: blocks of 32 alphabet characters,
        // then two whole groups at a time, then one.
        if (quad_pos_ == 0) {
            const std::size_t block_chars = base64_blocks::decode(in + i, size - i, o);
            if (block_chars != 0) {
                o += block_chars / 4 * 3;
                i += block_chars;
                data_chars_ += block_chars;
                pads_ = 0;
            }
        }
        while (quad_pos_ == 0 && i + 8 <= size) {
            const std::uint32_t hi = group_bits(in + i), lo = group_bits(in + i + 4);
            if (((hi | lo) & kOutside) != 0) break;
            const std::uint8_t six[6] = {static_cast<std::uint8_t>(hi >> 16), static_cast<std::uint8_t>(hi >> 8),
                                         static_cast<std::uint8_t>(hi),       static_cast<std::uint8_t>(lo >> 16),
                                         static_cast<std::uint8_t>(lo >> 8),  static_cast<std::uint8_t>(lo)};
            std::memcpy(o, six, 6);
            o += 6;
            i += 8;
            data_chars_ += 8;
            pads_ = 0;
        }
        if (i == size) break;
        if (quad_pos_ == 0 && i + 4 <= size) {
            const std::uint8_t a = kDecode[in[i]], b = kDecode[in[i + 1]], c = kDecode[in[i + 2]], d = kDecode[in[i + 3]];
            if ((a | b | c | d) < 64) {
                o[0] = static_cast<std::uint8_t>((a << 2) | (b >> 4));
                o[1] = static_cast<std::uint8_t>((b << 4) | (c >> 2));
                o[2] = static_cast<std::uint8_t>((c << 6) | d);
                o += 3;
                i += 4;
                data_chars_ += 4;
                pads_ = 0;
                continue;
            }
        }
        const unsigned char ch = in[i++];
        if (ch >= 0x80) throw ValueError("string argument should contain only ASCII characters");
        if (ch == '=') {
            // Padding after at least two data characters of a group completes it.
            if (quad_pos_ >= 2 && quad_pos_ + ++pads_ >= 4) {
                ended_ = true;
                break;
            }
            continue;
        }
        const std::uint8_t v = kDecode[ch];
        if (v == kInvalid) continue;
        ++data_chars_;
        pads_ = 0;
        switch (quad_pos_) {
            case 0: left_ = v; quad_pos_ = 1; break;
            case 1: *o++ = static_cast<std::uint8_t>((left_ << 2) | (v >> 4)); left_ = v & 0x0F; quad_pos_ = 2; break;
            case 2: *o++ = static_cast<std::uint8_t>((left_ << 4) | (v >> 2)); left_ = v & 0x03; quad_pos_ = 3; break;
            default: *o++ = static_cast<std::uint8_t>((left_ << 6) | v); left_ = 0; quad_pos_ = 0; break;
        }
    }
    return static_cast<std::size_t>(o - out);
}

void Base64Decoder::finish() const {
    if (ended_) return;
    if (quad_pos_ == 1)
        throw ValueError("Invalid base64-encoded string: number of data characters (" + std::to_string(data_chars_) +
                         ") cannot be 1 more than a multiple of 4");
    if (quad_pos_ != 0) throw ValueError("Incorrect padding");
}

std::vector<std::uint8_t> base64_decode_lenient(std::string_view text) {
    std::vector<std::uint8_t> out(Base64Decoder::max_output(text.size()));
    Base64Decoder decoder;
    const std::size_t n = decoder.feed(text, out.data());
    decoder.finish();
    out.resize(n);
    return out;
}

}  // namespace ossara::detail
