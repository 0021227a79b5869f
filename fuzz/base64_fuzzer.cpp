// The lenient base64 decoder: never crashes, fails only with ValueError, and
// agrees with itself on the properties that make it lenient.
#include "codec/base64.hpp"
#include "fuzz_check.hpp"

#include <ossara/veilrelay/errors.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

bool in_alphabet(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

std::optional<std::vector<std::uint8_t>> decode(std::string_view text) {
    try {
        return ossara::detail::base64_decode_lenient(text);
    } catch (const ossara::ValueError&) {
        return std::nullopt;
    } catch (...) {
        ossara::fuzz::fail_untyped_error();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using ossara::detail::base64_encode;
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    // The input as bytes: encoding then decoding gives them back exactly.
    const std::vector<std::uint8_t> bytes(data, data + size);
    const std::string encoded = base64_encode(bytes);
    OSSARA_FUZZ_CHECK(encoded.size() == (size + 2) / 3 * 4);
    const auto round_trip = decode(encoded);
    OSSARA_FUZZ_CHECK(round_trip.has_value() && *round_trip == bytes);

    // The input as text.
    const auto decoded = decode(text);

    // Discarding ASCII characters outside the alphabet (but keeping '=')
    // changes nothing: the decoder ignores them.
    std::string filtered;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c >= 0x80 || c == '=' || in_alphabet(c)) filtered += ch;
    }
    OSSARA_FUZZ_CHECK(decode(filtered) == decoded);

    if (decoded) {
        // Never more than three bytes per four data characters.
        std::size_t data_chars = 0;
        for (const char ch : filtered) data_chars += in_alphabet(static_cast<unsigned char>(ch)) ? 1 : 0;
        OSSARA_FUZZ_CHECK(decoded->size() <= data_chars / 4 * 3 + 2);
        // What decodes re-encodes to canonical text that decodes the same.
        OSSARA_FUZZ_CHECK(decode(base64_encode(*decoded)) == decoded);
    }
    return 0;
}
