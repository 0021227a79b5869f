#pragma once
// The small pieces of HTTP/1.1's grammar the head parser and the chunked
// decoder share.
#include <algorithm>
#include <optional>
#include <string_view>
#include <utility>

namespace ossara::http_server::grammar {

inline char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

inline bool iequals(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return lower(x) == lower(y); });
}

inline bool is_token_char(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

inline bool is_token(std::string_view s) { return !s.empty() && std::all_of(s.begin(), s.end(), is_token_char); }

// A field value may hold visible ASCII, spaces, tabs and bytes >= 0x80.
inline bool is_field_value(std::string_view s) {
    return std::none_of(s.begin(), s.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return (u < 0x20 && c != '\t') || u == 0x7f;
    });
}

inline std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// A field line (without its CRLF): a token, a colon right after it, a value
// without control characters; the value without the spaces around it.
inline std::optional<std::pair<std::string_view, std::string_view>> field_line(std::string_view line) {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || !is_token(line.substr(0, colon))) return std::nullopt;
    const std::string_view value = trim(line.substr(colon + 1));
    if (!is_field_value(value)) return std::nullopt;
    return std::pair{line.substr(0, colon), value};
}

// Each element of a comma-separated list (spaces around it removed) in turn;
// false as soon as `each` says so.
template <typename Each>
bool for_each_element(std::string_view list, Each&& each) {
    for (;;) {
        const std::size_t comma = list.find(',');
        if (!each(trim(list.substr(0, comma)))) return false;
        if (comma == std::string_view::npos) return true;
        list.remove_prefix(comma + 1);
    }
}

}  // namespace ossara::http_server::grammar
