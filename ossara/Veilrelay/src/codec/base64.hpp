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

}  // namespace ossara::detail
