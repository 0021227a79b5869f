// The encrypted package: the request package the client writes and the
// acceptance checks of a received one, in their fixed order.
#include "codec/package.hpp"

#include "codec/base64.hpp"
#include "codec/json_fast_reader.hpp"
#include "codec/json_reader.hpp"
#include "codec/json_writer.hpp"
#include "codec/utf8.hpp"
#include "core/large_buffers.hpp"

#include <ossara/veilrelay/errors.hpp>

#include <array>
#include <cstring>

namespace ossara::detail {

namespace {

// Base64 members hold only characters that need no JSON escape, so the
// package is assembled directly in its wire form.
void append_text(std::vector<std::uint8_t>& out, std::string_view text) {
    const std::size_t at = out.size();
    out.resize(at + text.size());
    std::memcpy(out.data() + at, text.data(), text.size());
}

void append_member(std::vector<std::uint8_t>& out, std::string_view name, std::span<const std::uint8_t> bytes) {
    append_text(out, "\"");
    append_text(out, name);
    append_text(out, "\": \"");
    base64_encode_append(out, bytes);
    append_text(out, "\"");
}

std::size_t encoded_size(std::size_t n) { return (n + 2) / 3 * 4; }

// "a, b" of the names that `object` lacks, in the given order.
template <std::size_t N>
std::string missing_members(const json& object, const std::array<const char*, N>& names) {
    std::string missing;
    for (const char* name : names) {
        if (object.contains(name)) continue;
        if (!missing.empty()) missing += ", ";
        missing += name;
    }
    return missing;
}

// A received value as it appears in a message: a string's characters, any
// other value as its JSON text.
std::string as_text(const json& value) {
    return value.is_string() ? value.get<std::string>() : serialise_json(value);
}

}  // namespace

PackageWriter::PackageWriter(std::size_t ciphertext_size) {
    // Written straight into the byte buffer that is the HTTP body: no second
    // copy of a package that is a third larger than the payload.
    // The fixed text, nonce, tag and a 4096-bit wrapped key take under 1 KiB.
    text_.reserve(1024 + encoded_size(ciphertext_size));
    advise_large_buffer(text_.data(), text_.capacity());
    append_text(text_, "{\"version\": \"");
    append_text(text_, kPackageVersion);
    append_text(text_, "\", \"algorithm\": \"");
    append_text(text_, kPackageAlgorithm);
    append_text(text_, "\", \"encrypted_payload\": {\"ciphertext\": \"");
}

void PackageWriter::append_ciphertext(std::span<const std::uint8_t> piece) {
    // A group begun by the previous piece is completed first; whole groups
    // are encoded now; up to two bytes wait for the next piece.
    while (carried_ != 0 && !piece.empty()) {
        carry_[carried_++] = piece.front();
        piece = piece.subspan(1);
        if (carried_ == carry_.size()) {
            base64_encode_append(text_, carry_);
            carried_ = 0;
        }
    }
    const std::size_t whole = piece.size() / 3 * 3;
    base64_encode_append(text_, piece.first(whole));
    for (const std::uint8_t byte : piece.subspan(whole)) carry_[carried_++] = byte;
}

void PackageWriter::end_payload(std::span<const std::uint8_t> nonce, std::span<const std::uint8_t> tag) {
    base64_encode_append(text_, std::span<const std::uint8_t>(carry_.data(), carried_));
    carried_ = 0;
    append_text(text_, "\", ");
    append_member(text_, "nonce", nonce);
    append_text(text_, ", ");
    append_member(text_, "tag", tag);
    append_text(text_, "}, ");
}

std::vector<std::uint8_t> PackageWriter::finish(std::span<const std::uint8_t> encrypted_aes_key) && {
    append_member(text_, "encrypted_aes_key", encrypted_aes_key);
    append_text(text_, ", \"key_algorithm\": \"RSA-OAEP-SHA256\", \"payload_algorithm\": \"AES-256-GCM\"}");
    return std::move(text_);
}

std::vector<std::uint8_t> write_package(std::span<const std::uint8_t> ciphertext, std::span<const std::uint8_t> nonce,
                                        std::span<const std::uint8_t> tag,
                                        std::span<const std::uint8_t> encrypted_aes_key) {
    PackageWriter writer(ciphertext.size());
    writer.append_ciphertext(ciphertext);
    writer.end_payload(nonce, tag);
    return std::move(writer).finish(encrypted_aes_key);
}

ReceivedPackage check_package(std::span<const std::uint8_t> body) {
    if (body.empty()) throw ValueError("Empty encrypted response");
    const std::string_view text(reinterpret_cast<const char*>(body.data()), body.size());
    ReceivedPackage package;
    BorrowedString ciphertext{"encrypted_payload", "ciphertext", std::nullopt};
    // The single-pass reader checks the UTF-8 of every string it reads, and
    // outside strings only ASCII is JSON: a text it reads is valid UTF-8, so
    // the separate pass over the text runs only when it gives up.
    std::optional<json> document = read_json_fast(text, &ciphertext);
    if (!document) {
        if (utf8_error(text)) throw ValueError("Invalid encrypted package format: not valid UTF-8");
        // A byte-order mark is not JSON (the parser would skip it silently).
        if (text.starts_with("\xEF\xBB\xBF")) throw ValueError("Invalid encrypted package format: malformed JSON");
        try {
            document = parse_json_full(text);
        } catch (const json::exception&) {  // syntax errors and number overflow
            throw ValueError("Invalid encrypted package format: malformed JSON");
        }
    }
    package.document = std::move(*document);
    const json& doc = package.document;
    if (!doc.is_object()) throw ValueError("Invalid encrypted package format: not a JSON object");

    constexpr std::array<const char*, 4> kRequired{"version", "algorithm", "encrypted_payload", "encrypted_aes_key"};
    if (auto missing = missing_members(doc, kRequired); !missing.empty())
        throw ValueError("Missing required fields in encrypted package: " + missing);

    const json& version = doc.at("version");
    if (!(version.is_string() && version.get_ref<const std::string&>() == kPackageVersion))
        throw ValueError("Unsupported protocol version: '" + as_text(version) + "'. Expected: '" +
                         std::string(kPackageVersion) + "'");
    const json& algorithm = doc.at("algorithm");
    if (!(algorithm.is_string() && algorithm.get_ref<const std::string&>() == kPackageAlgorithm))
        throw ValueError("Unsupported encryption algorithm: '" + as_text(algorithm) + "'. Expected: '" +
                         std::string(kPackageAlgorithm) + "'");

    const json& payload = doc.at("encrypted_payload");
    if (!payload.is_object()) throw ValueError("Invalid encrypted_payload: must be a dictionary");
    constexpr std::array<const char*, 3> kPayloadRequired{"ciphertext", "nonce", "tag"};
    if (auto missing = missing_members(payload, kPayloadRequired); !missing.empty())
        throw ValueError("Missing fields in encrypted_payload: " + missing);

    package.encrypted_aes_key = &doc.at("encrypted_aes_key");
    package.ciphertext = &payload.at("ciphertext");
    package.nonce = &payload.at("nonce");
    package.tag = &payload.at("tag");
    package.borrowed_ciphertext = ciphertext.text;
    // Moved out of the document rather than copied (it may be deeply nested);
    // the member pointers above stay valid, the object's storage is untouched.
    if (const auto it = package.document.find("processed_at"); it != package.document.end())
        package.processed_at = std::move(*it);
    package.algorithm = algorithm.get<std::string>();
    return package;
}

std::string_view ReceivedPackage::ciphertext_text() const {
    return borrowed_ciphertext ? *borrowed_ciphertext : base64_member(*ciphertext);
}

std::string_view base64_member(const json& value) {
    if (!value.is_string())
        throw TypeError(std::string("argument should be a bytes-like object or ASCII string, not '") +
                        value.type_name() + "'");
    return value.get_ref<const std::string&>();
}

}  // namespace ossara::detail
