// Reading a decrypted answer. The router may send its JSON in UTF-8 (with or
// without a byte-order mark), UTF-16 or UTF-32; the encoding is told by the
// byte-order mark or, without one, by where the zero bytes of the first
// characters fall (a JSON text starts with an ASCII character).
#include "codec/plaintext.hpp"

#include "codec/json_fast_reader.hpp"
#include "codec/json_members.hpp"
#include "codec/json_reader.hpp"
#include "codec/utf8.hpp"

#include <ossara/veilrelay/errors.hpp>

#include <openssl/crypto.h>

#include <optional>
#include <string_view>

namespace ossara::detail {

namespace {

enum class Encoding { utf8, utf8_sig, utf16, utf16_le, utf16_be, utf32, utf32_le, utf32_be };

Encoding detect_encoding(std::span<const std::uint8_t> b) {
    auto starts = [&](std::initializer_list<std::uint8_t> prefix) {
        return b.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), b.begin());
    };
    if (starts({0x00, 0x00, 0xFE, 0xFF}) || starts({0xFF, 0xFE, 0x00, 0x00})) return Encoding::utf32;
    if (starts({0xFE, 0xFF}) || starts({0xFF, 0xFE})) return Encoding::utf16;
    if (starts({0xEF, 0xBB, 0xBF})) return Encoding::utf8_sig;
    if (b.size() >= 4) {
        if (b[0] == 0) return b[1] != 0 ? Encoding::utf16_be : Encoding::utf32_be;
        if (b[1] == 0) return (b[2] != 0 || b[3] != 0) ? Encoding::utf16_le : Encoding::utf32_le;
    } else if (b.size() == 2) {
        if (b[0] == 0) return Encoding::utf16_be;
        if (b[1] == 0) return Encoding::utf16_le;
    }
    return Encoding::utf8;
}

[[noreturn]] void not_json(const std::string& description) {
    throw ValueError("Decrypted response is not valid JSON: " + description);
}

// Wipes a transcoded copy of the plaintext on every path.
struct WipedString {
    std::string text;
    ~WipedString() {
        if (!text.empty()) OPENSSL_cleanse(text.data(), text.size());
    }
};

void decode_utf16(std::span<const std::uint8_t> b, bool big_endian, const char* codec, std::string& out) {
    if (b.size() % 2 != 0)
        not_json(std::string("'") + codec + "' codec can't decode byte in position " + std::to_string(b.size() - 1) +
                 ": truncated data");
    out.reserve(b.size() + b.size() / 2);
    for (std::size_t i = 0; i < b.size(); i += 2) {
        std::uint32_t unit = big_endian ? (b[i] << 8 | b[i + 1]) : (b[i + 1] << 8 | b[i]);
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 3 < b.size()) {
            const std::uint32_t low = big_endian ? (b[i + 2] << 8 | b[i + 3]) : (b[i + 3] << 8 | b[i + 2]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        append_utf8(out, unit);
    }
}

void decode_utf32(std::span<const std::uint8_t> b, bool big_endian, const char* codec, std::string& out) {
    if (b.size() % 4 != 0)
        not_json(std::string("'") + codec + "' codec can't decode bytes in position " +
                 std::to_string(b.size() / 4 * 4) + "-" + std::to_string(b.size() - 1) + ": truncated data");
    out.reserve(b.size());
    for (std::size_t i = 0; i < b.size(); i += 4) {
        const std::uint32_t cp = big_endian
                                     ? (std::uint32_t{b[i]} << 24 | std::uint32_t{b[i + 1]} << 16 | b[i + 2] << 8 | b[i + 3])
                                     : (std::uint32_t{b[i + 3]} << 24 | std::uint32_t{b[i + 2]} << 16 | b[i + 1] << 8 | b[i]);
        if (cp > 0x10FFFF)
            not_json(std::string("'") + codec + "' codec can't decode bytes in position " + std::to_string(i) + "-" +
                     std::to_string(i + 3) + ": code point not in range(0x110000)");
        append_utf8(out, cp);
    }
}

}  // namespace

json parse_plaintext(std::span<const std::uint8_t> bytes) {
    WipedString transcoded;
    std::string_view text;
    bool unchecked_utf8 = false;  // a UTF-8 text, not yet known to be valid
    switch (detect_encoding(bytes)) {
        case Encoding::utf8:
        case Encoding::utf8_sig: {
            text = std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
            if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
            unchecked_utf8 = true;
            break;
        }
        case Encoding::utf16: {
            const bool big = bytes[0] == 0xFE;
            decode_utf16(bytes.subspan(2), big, "utf-16", transcoded.text);
            text = transcoded.text;
            break;
        }
        case Encoding::utf16_le: decode_utf16(bytes, false, "utf-16-le", transcoded.text); text = transcoded.text; break;
        case Encoding::utf16_be: decode_utf16(bytes, true, "utf-16-be", transcoded.text); text = transcoded.text; break;
        case Encoding::utf32: {
            const bool big = bytes[0] == 0x00;
            decode_utf32(bytes.subspan(4), big, "utf-32", transcoded.text);
            text = transcoded.text;
            break;
        }
        case Encoding::utf32_le: decode_utf32(bytes, false, "utf-32-le", transcoded.text); text = transcoded.text; break;
        case Encoding::utf32_be: decode_utf32(bytes, true, "utf-32-be", transcoded.text); text = transcoded.text; break;
    }
    // A text the single-pass reader reads is valid UTF-8 (it checks every
    // string, and outside strings only ASCII is JSON); the separate UTF-8
    // pass runs only when it gives up.
    std::optional<json> value = read_json_fast(text);
    if (!value) {
        if (unchecked_utf8) {
            if (auto error = utf8_error(text, true)) not_json(*error);
        }
        // Only one byte-order mark is consumed; a second one is not JSON (the
        // parser would skip it silently).
        if (text.starts_with("\xEF\xBB\xBF")) not_json("Expecting value: line 1 column 1 (char 0)");
        try {
            value = parse_json_full(text);
        } catch (const json::exception& e) {  // syntax errors and number overflow
            not_json(e.what());
        }
    }
    if (!value->is_object() && !value->is_null())
        throw TypeError(std::string("decrypted answer is a JSON ") + value->type_name() + ", not an object");
    return std::move(*value);
}

void complete_metadata(json& answer, const std::string& payload_id, json processed_at,
                       const std::string& algorithm) {
    if (!answer.is_object()) throw TypeError(std::string("the answer is a JSON ") + answer.type_name() + ", not an object");
    if (!answer.contains("_metadata")) {
        reserve_members(answer.get_ref<json::object_t&>(), 1);
        answer["_metadata"] = json::object();
    }
    json& metadata = answer["_metadata"];
    if (!metadata.is_object())
        throw TypeError(std::string("_metadata is a JSON ") + metadata.type_name() + ", not an object");
    // Room for the four members set below (a router's own _metadata holds answer text too).
    reserve_members(metadata.get_ref<json::object_t&>(), 4);
    metadata["payload_id"] = payload_id;
    metadata["processed_at"] = std::move(processed_at);
    metadata["is_encrypted"] = true;
    metadata["encryption_algorithm"] = algorithm;
}

}  // namespace ossara::detail
