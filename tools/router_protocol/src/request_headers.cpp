#include "router_protocol/request_headers.hpp"

#include "router_protocol/package_crypto.hpp"

#include <algorithm>
#include <iterator>

namespace ossara::router_protocol {

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string percent_decode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        const int hi = i + 2 < text.size() ? hex_value(text[i + 1]) : -1;
        const int lo = i + 2 < text.size() ? hex_value(text[i + 2]) : -1;
        if (hi < 0 || lo < 0) throw PackageError("malformed percent-encoding in X-Public-Key");
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
    }
    return out;
}

bool is_known_tier(std::string_view tier) {
    return std::find(std::begin(kTiers), std::end(kTiers), tier) != std::end(kTiers);
}

bool is_relayable_retry_after(std::string_view value) {
    if (value.empty() || value.size() > 64) return false;
    for (const char c : value)
        if (c < 0x20 || c > 0x7e) return false;
    return true;
}

}  // namespace ossara::router_protocol
