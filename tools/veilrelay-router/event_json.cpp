#include "event_json.hpp"

#include <array>

namespace veilrelay_router::event_json {

namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::size_t skip_space(std::string_view t, std::size_t i) {
    while (i < t.size() && is_space(t[i])) ++i;
    return i;
}

unsigned char byte_at(std::string_view t, std::size_t i) { return static_cast<unsigned char>(t[i]); }

// The length of the UTF-8 sequence at `i` (shortest form, no surrogates, at
// most U+10FFFF), or 0 when there is none.
std::size_t utf8_length(std::string_view t, std::size_t i) {
    const unsigned char lead = byte_at(t, i);
    if (lead < 0x80) return 1;
    std::size_t n = 0;
    unsigned char low = 0x80, high = 0xBF;  // the second byte's range
    if (lead >= 0xC2 && lead <= 0xDF) {
        n = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        n = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        n = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (t.size() - i < n) return 0;
    if (byte_at(t, i + 1) < low || byte_at(t, i + 1) > high) return 0;
    for (std::size_t k = 2; k < n; ++k)
        if ((byte_at(t, i + k) & 0xC0) != 0x80) return 0;
    return n;
}

// The four hex digits at `i` as a number, or nothing.
std::optional<unsigned> hex4(std::string_view t, std::size_t i) {
    if (t.size() - i < 4) return std::nullopt;
    unsigned value = 0;
    for (std::size_t k = 0; k < 4; ++k) {
        const char c = t[i + k];
        const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (digit < 0) return std::nullopt;
        value = value * 16 + static_cast<unsigned>(digit);
    }
    return value;
}

// Past the closing quote of the string whose opening quote is at `i`; 0 when it is not one.
std::size_t scan_string(std::string_view t, std::size_t i) {
    ++i;
    while (i < t.size()) {
        const unsigned char c = byte_at(t, i);
        if (c == '"') return i + 1;
        if (c < 0x20) return 0;
        if (c == '\\') {
            if (i + 1 >= t.size()) return 0;
            const char escaped = t[i + 1];
            if (escaped == 'u') {
                if (!hex4(t, i + 2)) return 0;
                i += 6;
            } else if (std::string_view("\"\\/bfnrt").find(escaped) != std::string_view::npos) {
                i += 2;
            } else {
                return 0;
            }
        } else {
            const std::size_t n = utf8_length(t, i);
            if (n == 0) return 0;
            i += n;
        }
    }
    return 0;
}

std::size_t scan_digits(std::string_view t, std::size_t i) {
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i;
    return i;
}

// Past the number (or literal) at `i`; 0 when there is none.
std::size_t scan_scalar(std::string_view t, std::size_t i) {
    static constexpr std::array<std::string_view, 6> kTokens{"true", "false", "null", "-Infinity", "Infinity", "NaN"};
    for (const std::string_view token : kTokens)
        if (t.substr(i).starts_with(token)) return i + token.size();
    std::size_t at = i;
    if (at < t.size() && t[at] == '-') ++at;
    if (at >= t.size()) return 0;
    if (t[at] == '0') {
        ++at;
    } else if (t[at] >= '1' && t[at] <= '9') {
        at = scan_digits(t, at);
    } else {
        return 0;
    }
    if (at < t.size() && t[at] == '.') {
        const std::size_t digits = scan_digits(t, at + 1);
        if (digits == at + 1) return 0;
        at = digits;
    }
    if (at < t.size() && (t[at] == 'e' || t[at] == 'E')) {
        ++at;
        if (at < t.size() && (t[at] == '+' || t[at] == '-')) ++at;
        const std::size_t digits = scan_digits(t, at);
        if (digits == at) return 0;
        at = digits;
    }
    return at;
}

// A member's key and colon at `i`; the position of its value, or 0.
std::size_t scan_key(std::string_view t, std::size_t i) {
    if (i >= t.size() || t[i] != '"') return 0;
    i = skip_space(t, scan_string(t, i));
    if (i == 0 || i >= t.size() || t[i] != ':') return 0;
    return skip_space(t, i + 1);
}

// The same walks over a text already found valid.
std::size_t skip_string(std::string_view t, std::size_t i) {
    ++i;
    while (t[i] != '"') i += t[i] == '\\' ? 2 : 1;
    return i + 1;
}

std::size_t skip_value(std::string_view t, std::size_t i) {
    if (t[i] == '"') return skip_string(t, i);
    if (t[i] == '{' || t[i] == '[') {
        std::size_t depth = 0;
        for (;;) {
            const char c = t[i];
            if (c == '"') {
                i = skip_string(t, i);
                continue;
            }
            if (c == '{' || c == '[') ++depth;
            if ((c == '}' || c == ']') && --depth == 0) return i + 1;
            ++i;
        }
    }
    while (i < t.size() && t[i] != ',' && t[i] != '}' && t[i] != ']' && !is_space(t[i])) ++i;
    return i;
}

}  // namespace

bool valid(std::string_view t) {
    std::vector<bool> open;  // the containers around the position: true for an object
    std::size_t i = skip_space(t, 0);
    for (;;) {
        // A value starts at i.
        if (i >= t.size()) return false;
        const char c = t[i];
        if (c == '{' || c == '[') {
            if (open.size() == kMaxDepth) return false;
            open.push_back(c == '{');
            i = skip_space(t, i + 1);
            if (i < t.size() && t[i] == (c == '{' ? '}' : ']')) {
                open.pop_back();
                ++i;
            } else {
                if (c == '{' && (i = scan_key(t, i)) == 0) return false;
                continue;
            }
        } else {
            i = c == '"' ? scan_string(t, i) : scan_scalar(t, i);
            if (i == 0) return false;
        }
        // After a value: the containers it ends, then a comma and the next value.
        for (;;) {
            i = skip_space(t, i);
            if (open.empty()) return i == t.size();
            if (i >= t.size()) return false;
            if (t[i] == ',') {
                i = skip_space(t, i + 1);
                if (open.back() && (i = scan_key(t, i)) == 0) return false;
                break;
            }
            if (t[i] != (open.back() ? '}' : ']')) return false;
            open.pop_back();
            ++i;
        }
    }
}

bool is_object(std::string_view value) { return value.starts_with('{'); }
bool is_array(std::string_view value) { return value.starts_with('['); }
bool is_string(std::string_view value) { return value.starts_with('"'); }
bool is_null(std::string_view value) { return value == "null"; }

std::vector<Member> members(std::string_view v) {
    std::vector<Member> out;
    if (!is_object(v)) return out;
    std::size_t i = skip_space(v, 1);
    while (i < v.size() && v[i] == '"') {
        const std::size_t key_end = skip_string(v, i);
        const std::string_view key = v.substr(i + 1, key_end - i - 2);
        i = skip_space(v, skip_space(v, key_end) + 1);
        const std::size_t value_end = skip_value(v, i);
        out.push_back({key, v.substr(i, value_end - i)});
        i = skip_space(v, value_end);
        if (i < v.size() && v[i] == ',') i = skip_space(v, i + 1);
    }
    return out;
}

std::vector<std::string_view> elements(std::string_view v) {
    std::vector<std::string_view> out;
    if (!is_array(v)) return out;
    std::size_t i = skip_space(v, 1);
    while (i < v.size() && v[i] != ']') {
        const std::size_t end = skip_value(v, i);
        out.push_back(v.substr(i, end - i));
        i = skip_space(v, end);
        if (i < v.size() && v[i] == ',') i = skip_space(v, i + 1);
    }
    return out;
}

std::optional<std::string_view> member(std::string_view object, std::string_view key) {
    for (const Member& m : members(object))
        if (m.key == key) return m.value;
    return std::nullopt;
}

std::string_view string_content(std::string_view string) {
    return is_string(string) && string.size() >= 2 ? string.substr(1, string.size() - 2) : std::string_view();
}

std::optional<long> small_integer(std::string_view value) {
    if (value.empty() || value.size() > 9) return std::nullopt;
    long n = 0;
    for (const char c : value) {
        if (c < '0' || c > '9') return std::nullopt;
        n = n * 10 + (c - '0');
    }
    return n;
}

std::size_t cut_point(std::string_view s, std::size_t limit) {
    std::size_t i = 0;
    while (i < s.size()) {
        std::size_t n = 1;
        if (s[i] == '\\') {
            n = 2;
            if (i + 1 < s.size() && s[i + 1] == 'u') {
                n = 6;
                const auto unit = hex4(s, i + 2);
                if (unit && *unit >= 0xD800 && *unit <= 0xDBFF && s.substr(i + 6).starts_with("\\u")) {
                    const auto second = hex4(s, i + 8);
                    if (second && *second >= 0xDC00 && *second <= 0xDFFF) n = 12;
                }
            }
        } else if (const std::size_t length = utf8_length(s, i); length > 0) {
            n = length;
        }
        if (n > s.size() - i || i + n > limit) break;
        i += n;
    }
    return i;
}

}  // namespace veilrelay_router::event_json
