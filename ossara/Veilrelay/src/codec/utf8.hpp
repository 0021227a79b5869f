#pragma once
// UTF-8 checking and encoding shared by the package reader, the plaintext
// reader and the key-file reader.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ossara::detail {

// Why a byte sequence is not UTF-8, worded like a codec error
// ("'utf-8' codec can't decode byte 0xff in position 0: invalid start byte"),
// or nullopt when it is valid. `allow_surrogates` accepts encoded U+D800..U+DFFF.
std::optional<std::string> utf8_error(std::string_view bytes, bool allow_surrogates = false);

// The UTF-8 sequence starting at bytes[at]: its length, or length 0 and why
// it is not valid (the reason worded as in utf8_error).
struct Utf8Sequence {
    std::size_t length;
    const char* error;
};
Utf8Sequence utf8_sequence(std::string_view bytes, std::size_t at, bool allow_surrogates = false);

// Appends the UTF-8 encoding of a code point (surrogates encoded as three bytes).
void append_utf8(std::string& out, std::uint32_t code_point);

}  // namespace ossara::detail
