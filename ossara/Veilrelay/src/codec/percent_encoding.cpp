// Percent-encoding of header values, so that a PEM text (with its line
// breaks) or any UTF-8 value travels as one header line.
#include "codec/percent_encoding.hpp"

namespace ossara::detail {

namespace {
bool is_safe(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
           c == '-' || c == '~' || c == '/';
}
}  // namespace

std::string percent_encode_header(std::string_view value) {
    constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(value.size() + value.size() / 2);
    for (const char ch : value) {
        const auto c = static_cast<unsigned char>(ch);
        if (is_safe(c)) {
            out += ch;
        } else {
            const char escape[3] = {'%', kHex[c >> 4], kHex[c & 0xF]};
            out.append(escape, 3);
        }
    }
    return out;
}

}  // namespace ossara::detail
