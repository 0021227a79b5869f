#include "proxy_request.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <stdexcept>

namespace veilrelay_cli {

namespace {

constexpr std::size_t kMaxRequestIdLength = 200;

bool is_usable_request_id(std::string_view id) {
    if (id.empty() || id.size() > kMaxRequestIdLength || id.front() == ' ' || id.back() == ' ') return false;
    return std::all_of(id.begin(), id.end(), [](char c) { return c >= 0x20 && c <= 0x7e; });
}

bool iequals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

std::variant<CompletionRequest, ErrorReply> parse_completion_body(std::string_view body) {
    if (body.find_first_not_of(" \t\r\n") == std::string_view::npos)
        return invalid_request("The request body is empty; send a JSON object", "empty_body");

    // The parser itself works without recursion; the depth is bounded so that
    // nothing later has to walk an arbitrarily deep document.
    bool too_deep = false;
    const auto watch_depth = [&too_deep](int depth, ossara::json::parse_event_t, ossara::json&) {
        if (depth > kMaxBodyDepth) too_deep = true;
        return true;
    };
    ossara::json parsed = ossara::json::parse(body.begin(), body.end(), watch_depth, /*allow_exceptions=*/false);
    if (parsed.is_discarded()) return invalid_request("The request body is not valid JSON", "invalid_json");
    if (too_deep)
        return invalid_request("The request body nests deeper than " + std::to_string(kMaxBodyDepth) + " levels",
                               "invalid_json");
    if (!parsed.is_object())
        return invalid_request(std::string("The request body must be a JSON object, not ") + parsed.type_name(),
                               "invalid_json");

    CompletionRequest request;
    if (const auto stream = parsed.find("stream"); stream != parsed.end()) {
        if (stream->is_boolean())
            request.stream = stream->get<bool>();
        else if (!stream->is_null())
            return invalid_request("'stream' must be a boolean", "invalid_stream");
        parsed.erase(stream);
    }
    if (const auto options = parsed.find("stream_options"); options != parsed.end()) {
        if (options->is_object()) {
            if (const auto usage = options->find("include_usage"); usage != options->end()) {
                if (!usage->is_boolean()) return invalid_request("'stream_options.include_usage' must be a boolean");
                request.include_usage = usage->get<bool>();
            }
        } else if (!options->is_null()) {
            return invalid_request("'stream_options' must be an object");
        }
        parsed.erase(options);
    }
    request.payload = std::move(parsed);
    return request;
}

std::string random_uuid() {
    std::array<std::uint8_t, 16> bytes{};
    if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1)
        throw std::runtime_error("the random source failed");
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0f) | 0x40);  // version 4
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3f) | 0x80);  // RFC 4122 variant
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(36);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
        text.push_back(kHex[bytes[i] >> 4]);
        text.push_back(kHex[bytes[i] & 0x0f]);
    }
    return text;
}

std::string request_id_from(const std::optional<std::string>& header) {
    if (header && is_usable_request_id(*header)) return *header;
    return random_uuid();
}

std::optional<std::string> bearer_token(std::string_view authorization) {
    constexpr std::string_view kScheme = "Bearer ";
    if (authorization.size() <= kScheme.size() || !iequals(authorization.substr(0, kScheme.size()), kScheme))
        return std::nullopt;
    std::string_view token = authorization.substr(kScheme.size());
    while (!token.empty() && token.front() == ' ') token.remove_prefix(1);
    while (!token.empty() && token.back() == ' ') token.remove_suffix(1);
    if (token.empty()) return std::nullopt;
    return std::string(token);
}

bool same_secret(std::string_view a, std::string_view b) noexcept {
    // Digests of equal size are compared, so neither the time taken nor an
    // early exit tells the secret's length or how much of it was right.
    std::array<unsigned char, 32> digest_a{}, digest_b{};
    unsigned int length_a = 0, length_b = 0;
    if (EVP_Digest(a.data(), a.size(), digest_a.data(), &length_a, EVP_sha256(), nullptr) != 1 ||
        EVP_Digest(b.data(), b.size(), digest_b.data(), &length_b, EVP_sha256(), nullptr) != 1 ||
        length_a != digest_a.size() || length_b != digest_b.size())
        return false;
    return CRYPTO_memcmp(digest_a.data(), digest_b.data(), digest_a.size()) == 0;
}

std::variant<std::optional<std::string>, ErrorReply> choose_tier(const std::optional<std::string>& configured,
                                                                 const std::optional<std::string>& header) {
    const std::optional<std::string>& tier = configured ? configured : header;
    if (!tier) return std::optional<std::string>();
    const auto& valid = ossara::Veilrelay::valid_tiers;
    if (std::find(valid.begin(), valid.end(), *tier) == valid.end())
        return invalid_request("Invalid security tier '" + *tier + "': use standard, high or maximum",
                               "invalid_tier");
    return tier;
}

}  // namespace veilrelay_cli
