#include "codec/json_reader.hpp"

#include "codec/json_fast_reader.hpp"
#include "codec/number_text.hpp"
#include "codec/utf8.hpp"
#include "crypto/crypto.hpp"

#include <openssl/crypto.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <unordered_map>
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

// Index of a Token that is the \u escape of a lone surrogate, not a non-finite number.
constexpr std::size_t kLoneSurrogate = 3;

struct Token {
    std::size_t at = std::string_view::npos;
    std::size_t length = 0;
    std::size_t index = 0;  // into non_finite_tokens(), or kLoneSurrogate
};

// The code unit of the \u escape at text[at] ("\\u" and four characters
// available), or nullopt when they are not four hex digits.
std::optional<std::uint32_t> escaped_unit(std::string_view text, std::size_t at) {
    if (at + 6 > text.size() || text[at] != '\\' || text[at + 1] != 'u') return std::nullopt;
    std::uint32_t unit = 0;
    const auto [ptr, ec] = std::from_chars(text.data() + at + 2, text.data() + at + 6, unit, 16);
    if (ec != std::errc() || ptr != text.data() + at + 6) return std::nullopt;
    return unit;
}

// From a backslash inside a string: the length of a \u escape of a lone
// surrogate there, or of a surrogate pair (a negative length: nothing to
// replace, skip it), or 0 for any other escape.
long surrogate_escape(std::string_view text, std::size_t at) {
    const auto unit = escaped_unit(text, at);
    if (!unit || *unit < 0xD800 || *unit > 0xDFFF) return 0;
    if (*unit <= 0xDBFF) {
        const auto low = escaped_unit(text, at + 6);
        if (low && *low >= 0xDC00 && *low <= 0xDFFF) return -12;
    }
    return 6;
}

bool is_number_char(char c) { return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E'; }

// A number text that overflows a double (nlohmann refuses it) stands for
// -Infinity or Infinity; nullopt for every other number.
std::optional<std::size_t> overflowing_number(std::string_view run) {
    // Only an exponent or more than 308 digits can leave the range.
    if (run.size() < 309 && run.find_first_of("eE") == std::string_view::npos) return std::nullopt;
    double value = 0;
    const auto [ptr, ec] = read_double(run.data(), run.data() + run.size(), value);
    if (ec != std::errc::result_out_of_range || ptr != run.data() + run.size()) return std::nullopt;
    // Out of range: an overflow when at least one in magnitude, else an
    // underflow that nlohmann rounds to zero or a subnormal.
    if (!magnitude_at_least_one(run)) return std::nullopt;
    return run[0] == '-' ? 0 : 1;
}

// The first non-finite token or overflowing number outside string literals,
// or \u escape of a lone surrogate inside one, which nlohmann refuses.
Token find_non_finite(std::string_view text, std::size_t from, bool in_string = false) {
    for (std::size_t i = from; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\') {
                const long escape = surrogate_escape(text, i);
                if (escape > 0) return {i, static_cast<std::size_t>(escape), kLoneSurrogate};
                i += escape < 0 ? static_cast<std::size_t>(-escape) - 1 : 1;
            } else if (c == '"') {
                in_string = false;
            }
            continue;
        }
        if (c == '"') {
            in_string = true;
            continue;
        }
        if (c == 'N' || c == 'I' || c == '-')
            for (std::size_t k = 0; k < non_finite_tokens().size(); ++k)
                if (text.substr(i).starts_with(non_finite_tokens()[k].token))
                    return {i, non_finite_tokens()[k].token.size(), k};
        if (c == '-' || (c >= '0' && c <= '9')) {
            std::size_t end = i;
            while (end < text.size() && is_number_char(text[end])) ++end;
            if (const auto index = overflowing_number(text.substr(i, end - i))) return {i, end - i, *index};
            i = end - 1;
        }
    }
    return {};
}

// Refuses a document nested deeper than kMaxJsonDepth before nlohmann builds it.
void check_depth(std::string_view text) {
    int depth = 0;
    bool in_string = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\') ++i;
            else if (c == '"') in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > kMaxJsonDepth)
                throw json::parse_error::create(101, i + 1, "syntax error: document nested too deeply", nullptr);
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
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

// Builds the document without ever copying a received value. nlohmann's own
// builder inserts members one at a time into an object's vector of
// (const name, value) pairs, and growing that vector copies every value in
// it, recursively. Here the members of an open object are gathered with
// movable names and moved into the object, sized once, when it closes. A
// repeated name keeps its first place and takes the last value, as there.
//
// With a marker, every "marker s hhhh" in a string or name (what
// parse_json_full put in place of a lone surrogate's escape) becomes that
// code unit in three bytes (WTF-8).
class MovingBuilder {
public:
    explicit MovingBuilder(const std::string* marker) : marker_(marker) {}

    bool null() { return put(json(nullptr)); }
    bool boolean(bool value) { return put(json(value)); }
    bool number_integer(json::number_integer_t value) { return put(json(value)); }
    bool number_unsigned(json::number_unsigned_t value) { return put(json(value)); }
    bool number_float(json::number_float_t value, const json::string_t&) { return put(json(value)); }
    bool string(json::string_t& value) {
        restore_surrogates(value);
        return put(json(std::move(value)));
    }
    bool binary(json::binary_t& value) { return put(json::binary(std::move(value))); }
    bool start_object(std::size_t) {
        open_.push_back(Open{true, {}, {}, {}, std::nullopt});
        return true;
    }
    bool key(json::string_t& name) {
        restore_surrogates(name);
        Open& object = open_.back();
        const auto [at, fresh] = object.index.try_emplace(name, object.names.size());
        if (fresh)
            object.names.push_back(std::move(name));
        else
            object.repeated = at->second;
        return true;
    }
    bool end_object() {
        Open done = std::move(open_.back());
        open_.pop_back();
        json object = json::object();
        auto& members = object.get_ref<json::object_t&>();
        members.reserve(done.names.size());
        for (std::size_t i = 0; i < done.names.size(); ++i)
            members.emplace_back(std::move(done.names[i]), std::move(done.values[i]));
        return put(std::move(object));
    }
    bool start_array(std::size_t) {
        open_.push_back(Open{false, {}, {}, {}, std::nullopt});
        return true;
    }
    bool end_array() {
        Open done = std::move(open_.back());
        open_.pop_back();
        json array = json::array();
        array.get_ref<json::array_t&>() = std::move(done.values);
        return put(std::move(array));
    }
    // nlohmann reports a number that overflows a double as out_of_range,
    // which is not a parse error for the callers; it is one here.
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& error) {
        if (const auto* parse = dynamic_cast<const json::parse_error*>(&error)) throw *parse;
        throw json::parse_error::create(101, 0, error.what(), nullptr);
    }

    json take() { return std::move(root_); }

private:
    struct Open {
        bool is_object;
        std::vector<std::string> names;
        std::vector<json> values;
        std::unordered_map<std::string, std::size_t> index;
        std::optional<std::size_t> repeated;  // the value that follows replaces values[*repeated]
    };

    void restore_surrogates(std::string& s) const {
        if (marker_ == nullptr) return;
        std::size_t at = s.find(*marker_);
        if (at == std::string::npos) return;
        std::string out;
        std::size_t copied = 0;
        for (; at != std::string::npos; at = s.find(*marker_, at)) {
            const std::size_t unit_at = at + marker_->size() + 1;
            if (unit_at + 4 > s.size() || s[unit_at - 1] != 's') {
                ++at;
                continue;
            }
            std::uint32_t unit = 0;
            std::from_chars(s.data() + unit_at, s.data() + unit_at + 4, unit, 16);
            out.append(s, copied, at - copied);
            append_utf8(out, unit);
            copied = at = unit_at + 4;
        }
        out.append(s, copied);
        OPENSSL_cleanse(s.data(), s.size());
        s.swap(out);
    }

    bool put(json value) {
        if (open_.empty()) {
            root_ = std::move(value);
            return true;
        }
        Open& parent = open_.back();
        if (parent.repeated) {
            parent.values[*parent.repeated] = std::move(value);
            parent.repeated.reset();
        } else {
            parent.values.push_back(std::move(value));  // json moves without throwing: no copy on growth
        }
        return true;
    }

    const std::string* marker_;
    std::vector<Open> open_;
    json root_;
};

json parse_with_nlohmann(std::string_view text, const std::string* marker = nullptr) {
    MovingBuilder builder(marker);
    json::sax_parse(text, &builder);
    return builder.take();
}

}  // namespace

json parse_json(std::string_view text, BorrowedString* borrow) {
    if (auto value = read_json_fast(text, borrow)) return std::move(*value);
    return parse_json_full(text);
}

json parse_json_full(std::string_view text) {
    check_depth(text);

    Token token = find_non_finite(text, 0);
    if (token.at == std::string_view::npos) return parse_with_nlohmann(text);

    // Stand each token in as a string no document contains (a random marker),
    // parse, then put the float values in their place. A lone surrogate's
    // escape becomes the marker, 's' and its four hex digits inside its
    // string, which the builder turns back into the code unit.
    std::array<std::uint8_t, 12> nonce{};
    random_bytes(nonce);
    std::string marker = "\x01";
    for (const auto b : nonce) marker += "0123456789abcdef"[b >> 4], marker += "0123456789abcdef"[b & 15];

    std::string rewritten;
    rewritten.reserve(text.size() + 64);
    std::size_t copied = 0;
    while (token.at != std::string_view::npos) {
        rewritten.append(text.substr(copied, token.at - copied));
        const bool surrogate = token.index == kLoneSurrogate;
        rewritten += surrogate ? "\\u0001" : "\"\\u0001";
        rewritten.append(marker, 1);
        if (surrogate) {
            rewritten += 's';
            rewritten.append(text.substr(token.at + 2, 4));
        } else {
            rewritten += static_cast<char>('0' + token.index);
            rewritten += '"';
        }
        copied = token.at + token.length;
        token = find_non_finite(text, copied, surrogate);
    }
    rewritten.append(text.substr(copied));

    json value;
    try {
        value = parse_with_nlohmann(rewritten, &marker);
    } catch (...) {
        OPENSSL_cleanse(rewritten.data(), rewritten.size());
        throw;
    }
    OPENSSL_cleanse(rewritten.data(), rewritten.size());
    restore(value, marker);
    return value;
}

}  // namespace ossara::detail
