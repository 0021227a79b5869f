#include "router_protocol/package_reader.hpp"

#include "router_protocol/package_crypto.hpp"

#include <cstdint>

namespace ossara::router_protocol {

namespace {

constexpr const char* kNames[] = {"version", "algorithm", "encrypted_aes_key", "ciphertext", "nonce", "tag"};

constexpr std::size_t kNoLimit = static_cast<std::size_t>(-1);

std::size_t longest(PackageMember member) {
    switch (member) {
        case PackageMember::version:
        case PackageMember::algorithm: return kMaxLabelBytes;
        case PackageMember::encrypted_aes_key: return kMaxWrappedKeyBytes;
        case PackageMember::nonce:
        case PackageMember::tag: return kMaxNonceOrTagBytes;
        case PackageMember::ciphertext: return kNoLimit;  // bounded by the body
    }
    return 0;
}

[[noreturn]] void not_json() { throw PackageError("body is not JSON"); }

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void append_utf8(std::string& out, std::uint32_t code) {
    if (code < 0x80) {
        out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out.push_back(static_cast<char>(0xc0 | (code >> 6)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3f)));
    } else if (code < 0x10000) {
        out.push_back(static_cast<char>(0xe0 | (code >> 12)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3f)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3f)));
    } else {
        out.push_back(static_cast<char>(0xf0 | (code >> 18)));
        out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3f)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3f)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3f)));
    }
}

// A string of the body as JSON text: where it starts and ends, and whether
// it holds escapes.
struct StringToken {
    std::string_view raw;  // between the quotes
    bool escaped = false;
};

}  // namespace

// One pass over the body. The shape has two levels (the package and its
// encrypted_payload); any other array or object is refused where it starts,
// so nothing here nests deeper than that.
class PackageScanner {
public:
    explicit PackageScanner(std::string_view body) : text_(body) {}

    PackageMembers read() {
        skip_space();
        if (at_end()) not_json();
        if (peek() != '{') {
            // Another JSON value is "not an object"; anything else is not JSON.
            // An array is refused at its first byte: it is never walked.
            if (peek() != '[') {
                skip_scalar();
                skip_space();
                if (!at_end()) not_json();
            }
            throw PackageError("package is not a JSON object");
        }
        PackageMembers members;
        read_object(members, false);
        skip_space();
        if (!at_end()) not_json();
        return members;
    }

    // Undoes the escapes of a string token (its text was checked when read).
    static std::string unescape(std::string_view raw) {
        std::string out;
        out.reserve(raw.size());
        for (std::size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] != '\\') {
                out.push_back(raw[i]);
                continue;
            }
            const char e = raw[++i];
            switch (e) {
                case 'b': out.push_back('\b'); break;
                case 'f': out.push_back('\f'); break;
                case 'n': out.push_back('\n'); break;
                case 'r': out.push_back('\r'); break;
                case 't': out.push_back('\t'); break;
                case 'u': {
                    std::uint32_t code = hex4(raw.substr(i + 1, 4));
                    i += 4;
                    if (code >= 0xd800 && code <= 0xdbff) {  // a pair, checked when read
                        const std::uint32_t low = hex4(raw.substr(i + 3, 4));
                        code = 0x10000 + ((code - 0xd800) << 10) + (low - 0xdc00);
                        i += 6;
                    }
                    append_utf8(out, code);
                    break;
                }
                default: out.push_back(e); break;  // '"', '\\', '/'
            }
        }
        return out;
    }

private:
    std::string_view text_;
    std::size_t pos_ = 0;

    bool at_end() const { return pos_ >= text_.size(); }
    char peek() const { return text_[pos_]; }

    void skip_space() {
        while (!at_end() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r')) ++pos_;
    }

    void expect(char c) {
        skip_space();
        if (at_end() || peek() != c) not_json();
        ++pos_;
    }

    static std::uint32_t hex4(std::string_view digits) {
        std::uint32_t value = 0;
        for (const char c : digits) value = value * 16 + static_cast<std::uint32_t>(hex_digit(c));
        return value;
    }

    // Four hex digits after "\u" at pos_ (which points at the 'u').
    std::uint32_t read_hex4() {
        if (text_.size() - pos_ < 5) not_json();
        for (std::size_t k = 1; k <= 4; ++k)
            if (hex_digit(text_[pos_ + k]) < 0) not_json();
        const std::uint32_t value = hex4(text_.substr(pos_ + 1, 4));
        pos_ += 5;
        return value;
    }

    // One UTF-8 sequence starting at pos_ (a byte >= 0x80): well-formed,
    // shortest form, no surrogates, at most U+10FFFF.
    void skip_utf8() {
        const auto byte = [this](std::size_t k) {
            return pos_ + k < text_.size() ? static_cast<unsigned char>(text_[pos_ + k]) : 0u;
        };
        const unsigned lead = byte(0);
        std::size_t length = 0;
        unsigned low = 0x80, high = 0xbf;  // the range of the second byte
        if (lead >= 0xc2 && lead <= 0xdf) {
            length = 2;
        } else if (lead >= 0xe0 && lead <= 0xef) {
            length = 3;
            if (lead == 0xe0) low = 0xa0;
            if (lead == 0xed) high = 0x9f;
        } else if (lead >= 0xf0 && lead <= 0xf4) {
            length = 4;
            if (lead == 0xf0) low = 0x90;
            if (lead == 0xf4) high = 0x8f;
        } else {
            not_json();
        }
        if (byte(1) < low || byte(1) > high) not_json();
        for (std::size_t k = 2; k < length; ++k)
            if (byte(k) < 0x80 || byte(k) > 0xbf) not_json();
        pos_ += length;
    }

    // A string at pos_ (its opening quote); `limit` bounds its raw length.
    StringToken read_string(std::size_t limit, const char* what) {
        if (at_end() || peek() != '"') not_json();
        const std::size_t start = ++pos_;
        StringToken token;
        for (;;) {
            if (at_end()) not_json();
            if (pos_ - start > limit) throw PackageError(std::string(what) + " is too long");
            const auto c = static_cast<unsigned char>(peek());
            if (c == '"') break;
            if (c < 0x20) not_json();
            if (c >= 0x80) {
                skip_utf8();
                continue;
            }
            if (c != '\\') {
                ++pos_;
                continue;
            }
            token.escaped = true;
            if (++pos_ >= text_.size()) not_json();
            const char e = peek();
            if (e == 'u') {
                const std::uint32_t code = read_hex4();
                if (code >= 0xdc00 && code <= 0xdfff) not_json();  // a low surrogate alone
                if (code >= 0xd800 && code <= 0xdbff) {
                    if (text_.size() - pos_ < 2 || text_[pos_] != '\\' || text_[pos_ + 1] != 'u') not_json();
                    ++pos_;
                    const std::uint32_t low = read_hex4();
                    if (low < 0xdc00 || low > 0xdfff) not_json();
                }
            } else if (e == '"' || e == '\\' || e == '/' || e == 'b' || e == 'f' || e == 'n' || e == 'r' || e == 't') {
                ++pos_;
            } else {
                not_json();
            }
        }
        token.raw = text_.substr(start, pos_ - start);
        if (token.raw.size() > limit) throw PackageError(std::string(what) + " is too long");
        ++pos_;  // the closing quote
        return token;
    }

    void skip_digits() {
        const std::size_t start = pos_;
        while (!at_end() && peek() >= '0' && peek() <= '9') ++pos_;
        if (pos_ == start) not_json();
    }

    // A number, true, false, null or a string, checked and not kept.
    void skip_scalar() {
        if (at_end()) not_json();
        const char c = peek();
        if (c == '"') {
            read_string(kNoLimit, "a string");
            return;
        }
        for (const std::string_view word : {"true", "false", "null"}) {
            if (text_.substr(pos_, word.size()) == word) {
                pos_ += word.size();
                return;
            }
        }
        if (c == '-') ++pos_;
        if (!at_end() && peek() == '0') {
            ++pos_;
        } else {
            skip_digits();
        }
        if (!at_end() && peek() == '.') {
            ++pos_;
            skip_digits();
        }
        if (!at_end() && (peek() == 'e' || peek() == 'E')) {
            ++pos_;
            if (!at_end() && (peek() == '+' || peek() == '-')) ++pos_;
            skip_digits();
        }
    }

    std::optional<PackageMember> known(std::string_view name, bool nested) const {
        const std::size_t first = nested ? 3 : 0;
        const std::size_t last = nested ? 6 : 3;
        for (std::size_t i = first; i < last; ++i)
            if (name == kNames[i]) return static_cast<PackageMember>(i);
        return std::nullopt;
    }

    void keep(PackageMembers::Value& value, PackageMember member) {
        if (value.present) throw PackageError(std::string("duplicate member ") + member_name(member));
        if (peek() != '"') throw PackageError(std::string("member ") + member_name(member) + " is not a string");
        const StringToken token = read_string(longest(member), member_name(member));
        value.present = true;
        value.escaped = token.escaped;
        if (token.escaped) value.unescaped = unescape(token.raw);
        else value.raw = token.raw;
    }

    // An object at pos_: the package itself, or (nested) its encrypted_payload.
    void read_object(PackageMembers& members, bool nested) {
        expect('{');
        skip_space();
        if (!at_end() && peek() == '}') {
            ++pos_;
            return;
        }
        for (std::size_t count = 1;; ++count) {
            if (count > kMaxPackageMembers) throw PackageError("package has too many members");
            skip_space();
            const StringToken name_token = read_string(kMaxMemberNameBytes, "a member name");
            const std::string unescaped_name = name_token.escaped ? unescape(name_token.raw) : std::string();
            const std::string_view name = name_token.escaped ? std::string_view(unescaped_name) : name_token.raw;
            expect(':');
            skip_space();
            if (at_end()) not_json();
            if (const auto member = known(name, nested)) {
                keep(members.values_[static_cast<std::size_t>(*member)], *member);
            } else if (!nested && name == "encrypted_payload") {
                if (members.encrypted_payload_) throw PackageError("duplicate member encrypted_payload");
                if (peek() != '{') throw PackageError("encrypted_payload is not an object");
                members.encrypted_payload_ = true;
                read_object(members, true);
            } else if (peek() == '{' || peek() == '[') {
                throw PackageError("package nests deeper than its format");
            } else {
                skip_scalar();
            }
            skip_space();
            if (at_end()) not_json();
            if (peek() == '}') {
                ++pos_;
                break;
            }
            if (peek() != ',') not_json();
            ++pos_;
        }
    }
};

const char* member_name(PackageMember member) { return kNames[static_cast<std::size_t>(member)]; }

std::optional<std::string_view> PackageMembers::get(PackageMember member) const {
    const Value& value = values_[static_cast<std::size_t>(member)];
    if (!value.present) return std::nullopt;
    return value.escaped ? std::string_view(value.unescaped) : value.raw;
}

std::string_view PackageMembers::require(PackageMember member) const {
    const auto value = get(member);
    if (!value) throw PackageError(std::string("missing member ") + member_name(member));
    return *value;
}

PackageMembers read_package(std::string_view body) { return PackageScanner(body).read(); }

}  // namespace ossara::router_protocol
