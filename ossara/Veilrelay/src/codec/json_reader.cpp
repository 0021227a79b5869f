#include "codec/json_reader.hpp"

#include "codec/json_fast_reader.hpp"
#include "crypto/crypto.hpp"

#include <openssl/crypto.h>

#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace ossara::detail {

namespace {

struct NonFinite {
    std::string_view token;
    double value;
};

const std::array<NonFinite, 3>& non_finite_tokens() {
    static const std::array<NonFinite, 3> tokens{{{"-Infinity", -std::numeric_limits<double>::infinity()},
                                                  {"Infinity", std::numeric_limits<double>::infinity()},
                                                  {"NaN", std::numeric_limits<double>::quiet_NaN()}}};
    return tokens;
}

// Position of the first non-finite token outside string literals, or npos.
std::size_t find_non_finite(std::string_view text, std::size_t from) {
    bool in_string = false;
    for (std::size_t i = from; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\') ++i;
            else if (c == '"') in_string = false;
            continue;
        }
        if (c == '"') {
            in_string = true;
            continue;
        }
        if (c == 'N' || c == 'I' || c == '-')
            for (const auto& t : non_finite_tokens())
                if (text.substr(i).starts_with(t.token)) return i;
    }
    return std::string_view::npos;
}

// Replaces every string equal to `marker + index` by the non-finite value it stands for.
void restore(json& root, const std::string& marker) {
    std::vector<json*> pending{&root};
    while (!pending.empty()) {
        json* value = pending.back();
        pending.pop_back();
        if (value->is_object()) {
            for (auto& [key, child] : value->items()) {
                // The tokens are values, never member names.
                if (key.starts_with(marker))
                    throw json::parse_error::create(101, 0, "syntax error: non-finite number used as a member name",
                                                    nullptr);
                pending.push_back(&child);
            }
        } else if (value->is_array()) {
            for (auto& child : *value) pending.push_back(&child);
        } else if (value->is_string()) {
            const auto& s = value->get_ref<const std::string&>();
            if (s.size() == marker.size() + 1 && s.starts_with(marker))
                *value = non_finite_tokens()[static_cast<std::size_t>(s.back() - '0')].value;
        }
    }
}

// nlohmann reports a number that overflows a double as out_of_range, which
// is not a parse error for the callers; it is one here (the text is not
// JSON this reader can represent).
json parse_with_nlohmann(std::string_view text) {
    try {
        return json::parse(text);
    } catch (const json::out_of_range& error) {
        throw json::parse_error::create(101, 0, error.what(), nullptr);
    }
}

}  // namespace

json parse_json(std::string_view text, BorrowedString* borrow) {
    if (auto value = read_json_fast(text, borrow)) return std::move(*value);

    std::size_t at = find_non_finite(text, 0);
    if (at == std::string_view::npos) return parse_with_nlohmann(text);

    // Stand each token in as a string no document contains (a random marker),
    // parse, then put the float values in their place.
    std::array<std::uint8_t, 12> nonce{};
    random_bytes(nonce);
    std::string marker = "\x01";
    for (const auto b : nonce) marker += "0123456789abcdef"[b >> 4], marker += "0123456789abcdef"[b & 15];

    std::string rewritten;
    rewritten.reserve(text.size() + 64);
    std::size_t copied = 0;
    while (at != std::string_view::npos) {
        rewritten.append(text.substr(copied, at - copied));
        for (std::size_t k = 0; k < non_finite_tokens().size(); ++k) {
            const auto& t = non_finite_tokens()[k];
            if (!text.substr(at).starts_with(t.token)) continue;
            rewritten += "\"\\u0001";
            rewritten.append(marker, 1);
            rewritten += static_cast<char>('0' + k);
            rewritten += '"';
            copied = at + t.token.size();
            break;
        }
        at = find_non_finite(text, copied);
    }
    rewritten.append(text.substr(copied));

    json value;
    try {
        value = parse_with_nlohmann(rewritten);
    } catch (...) {
        OPENSSL_cleanse(rewritten.data(), rewritten.size());
        throw;
    }
    OPENSSL_cleanse(rewritten.data(), rewritten.size());
    restore(value, marker);
    return value;
}

}  // namespace ossara::detail
