#pragma once
// Standard base64 (RFC 4648 alphabet, '=' padding, one line).
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ossara::detail {

std::string base64_encode(std::span<const std::uint8_t> bytes);
void base64_encode_append(std::string& out, std::span<const std::uint8_t> bytes);
void base64_encode_append(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> bytes);

// Lenient decoding: characters outside the alphabet are discarded first; only
// wrong padding (a length that cannot be whole groups) is an error, raised as
// ossara::ValueError.
std::vector<std::uint8_t> base64_decode_lenient(std::string_view text);

// The same decoding fed a text in consecutive pieces, so a long text can be
// decoded and used a piece at a time. Cutting the text anywhere gives the
// bytes and the errors of decoding it whole.
class Base64Decoder {
public:
    // Room `out` must have for a piece of `text_size` characters.
    static constexpr std::size_t max_output(std::size_t text_size) { return text_size / 4 * 3 + 3; }

    // Decodes the next piece into `out` and returns how many bytes it wrote.
    // ossara::ValueError for a character outside ASCII. After a complete
    // padding sequence everything is ignored.
    std::size_t feed(std::string_view text, std::uint8_t* out);
    // After the last piece: ossara::ValueError when the last group is incomplete.
    void finish() const;

private:
    int quad_pos_ = 0;  // data characters of the current group so far
    int pads_ = 0;      // '=' seen since the last data character
    std::size_t data_chars_ = 0;
    std::uint32_t left_ = 0;  // bits of the current group not yet written
    bool ended_ = false;
};

}  // namespace ossara::detail
