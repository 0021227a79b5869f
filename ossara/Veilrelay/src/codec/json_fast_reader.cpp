#include "codec/json_fast_reader.hpp"

#include "codec/json_members.hpp"
#include "codec/json_text_scan.hpp"
#include "codec/number_text.hpp"
#include "codec/utf8.hpp"

#include <openssl/crypto.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

namespace ossara::detail {

namespace {

// This reader recurses, three frames a level; deeper documents go to the
// full reader, which keeps its own stack and refuses anything deeper than
// kMaxJsonDepth. 64 levels stay far inside a 256 KiB thread stack even in a
// sanitizer build, where 512 did not; real answers are a few levels deep.
constexpr int kMaxDepth = 64;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Four hex digits at p (p + 4 <= stop checked by the caller).
bool read_hex4(const char* p, std::uint32_t& out) {
    out = 0;
    for (int k = 0; k < 4; ++k) {
        const int digit = hex_value(p[k]);
        if (digit < 0) return false;
        out = out << 4 | static_cast<std::uint32_t>(digit);
    }
    return true;
}

// The text between the quotes of a string with escapes, unescaped into `out`.
bool unescape(const char* p, const char* stop, std::string& out) {
    const char* run = p;
    while (p < stop) {
        const void* const backslash = std::memchr(p, '\\', static_cast<std::size_t>(stop - p));
        if (backslash == nullptr) break;
        p = static_cast<const char*>(backslash);
        out.append(run, p);
        ++p;  // the scan guaranteed a character after every backslash
        switch (*p++) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                std::uint32_t cp = 0;
                if (stop - p < 4 || !read_hex4(p, cp)) return false;
                p += 4;
                // A high surrogate followed by a low one is one character.
                // Any other surrogate is valid JSON too (our writer emits one
                // for a lone surrogate it is given): it is kept as its code
                // unit, three bytes (WTF-8), which the writer takes back.
                std::uint32_t low = 0;
                if (cp >= 0xD800 && cp <= 0xDBFF && stop - p >= 6 && p[0] == '\\' && p[1] == 'u' &&
                    read_hex4(p + 2, low) && low >= 0xDC00 && low <= 0xDFFF) {
                    p += 6;
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                }
                append_utf8(out, cp);
                break;
            }
            default: return false;
        }
        run = p;
    }
    out.append(run, stop);
    return true;
}

class Reader {
public:
    Reader(std::string_view text, BorrowedString* borrow)
        : text_(text), p_(text.data()), end_(text.data() + text.size()), borrow_(borrow) {}
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;
    // Member names of an answer pass through this buffer; it is wiped.
    ~Reader() {
        key_.resize(key_.capacity());
        OPENSSL_cleanse(key_.data(), key_.size());
    }

    std::optional<json> read() {
        json root;
        skip_whitespace();
        if (!value(root, 0, Level::root)) return std::nullopt;
        skip_whitespace();
        if (p_ != end_) return std::nullopt;
        return root;
    }

private:
    // Where a value sits relative to the borrowed member's path.
    enum class Level { root, outer, other };

    void skip_whitespace() {
        while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
    }

    bool literal(std::string_view token) {
        if (static_cast<std::size_t>(end_ - p_) < token.size() || std::memcmp(p_, token.data(), token.size()) != 0)
            return false;
        p_ += token.size();
        return true;
    }

    bool value(json& out, int depth, Level level) {
        if (p_ == end_) return false;
        switch (*p_) {
            case '{': return object(out, depth + 1, level);
            case '[': return array(out, depth + 1);
            case '"':
                ++p_;
                out = json::string_t();
                return string(out.get_ref<json::string_t&>());
            case 't': return literal("true") && (out = true, true);
            case 'f': return literal("false") && (out = false, true);
            case 'n': return literal("null") && (out = nullptr, true);
            case 'N': return literal("NaN") && (out = std::numeric_limits<double>::quiet_NaN(), true);
            case 'I': return literal("Infinity") && (out = std::numeric_limits<double>::infinity(), true);
            case '-':
                if (end_ - p_ > 1 && p_[1] == 'I')
                    return literal("-Infinity") && (out = -std::numeric_limits<double>::infinity(), true);
                return number(out);
            default: return is_digit(*p_) && number(out);
        }
    }

    // Just after '{' or '[': true, and past the bracket, when the container is empty.
    bool closes_at_once(char close) {
        skip_whitespace();
        if (p_ == end_ || *p_ != close) return false;
        ++p_;
        return true;
    }

    enum class After { next, closed, invalid };

    // After an element: a comma (another element follows), the closing bracket, or neither.
    After after_element(char close) {
        skip_whitespace();
        if (p_ == end_) return After::invalid;
        if (*p_ == close) {
            ++p_;
            return After::closed;
        }
        if (*p_ != ',') return After::invalid;
        ++p_;
        skip_whitespace();
        return After::next;
    }

    bool object(json& out, int depth, Level level) {
        if (depth > kMaxDepth) return false;
        ++p_;
        out = json::object();
        if (closes_at_once('}')) return true;
        while (true) {
            if (p_ == end_ || *p_ != '"') return false;
            ++p_;
            if (!string(key_)) return false;
            skip_whitespace();
            if (p_ == end_ || *p_ != ':') return false;
            ++p_;
            skip_whitespace();
            // A repeated name overwrites the first value in its place, as nlohmann does.
            json& slot = member_slot(out.get_ref<json::object_t&>(), key_);
            bool read = false;
            if (borrow_ != nullptr && level == Level::root && key_ == borrow_->outer) {
                borrow_->text.reset();
                read = value(slot, depth, Level::outer);
            } else if (borrow_ != nullptr && level == Level::outer && key_ == borrow_->inner) {
                borrow_->text.reset();
                read = borrowed_value(slot, depth);
            } else {
                read = value(slot, depth, Level::other);
            }
            if (!read) return false;
            if (const After after = after_element('}'); after != After::next) return after == After::closed;
        }
    }

    // The borrowed member: a string without escapes stays in the text, and
    // the document holds "" in its place.
    bool borrowed_value(json& slot, int depth) {
        if (p_ == end_ || *p_ != '"') return value(slot, depth, Level::other);
        ++p_;
        slot = json::string_t();
        return string(slot.get_ref<json::string_t&>(), &borrow_->text);
    }

    bool array(json& out, int depth) {
        if (depth > kMaxDepth) return false;
        ++p_;
        out = json::array();
        auto& elements = out.get_ref<json::array_t&>();
        if (closes_at_once(']')) return true;
        while (true) {
            elements.emplace_back();
            if (!value(elements.back(), depth, Level::other)) return false;
            if (const After after = after_element(']'); after != After::next) return after == After::closed;
        }
    }

    // From just after an opening quote to the closing quote (p_ left on it):
    // control characters and invalid UTF-8 fail; escapes are only noted.
    bool scan_string(bool& escapes) {
        while (true) {
            // Plain ASCII, the bulk of long strings, many bytes at a time.
            p_ += plain_json_run(p_, end_);
            if (p_ == end_) return false;
            const auto c = static_cast<unsigned char>(*p_);
            if (c == '"') return true;
            if (c == '\\') {
                if (end_ - p_ < 2) return false;
                escapes = true;
                p_ += 2;
            } else if (c < 0x20) {
                return false;
            } else if (c >= 0x80) {
                const Utf8Sequence sequence =
                    utf8_sequence(text_, static_cast<std::size_t>(p_ - text_.data()));
                if (sequence.error != nullptr) return false;
                p_ += sequence.length;
            } else {
                ++p_;
            }
        }
    }

    // From just after an opening quote; p_ ends after the closing quote.
    // With `plain`, a string without escapes is pointed at there, not copied.
    bool string(std::string& out, std::optional<std::string_view>* plain = nullptr) {
        const char* const start = p_;
        bool escapes = false;
        if (!scan_string(escapes)) return false;
        const char* const stop = p_;
        ++p_;
        if (&out == &key_ && key_.capacity() < static_cast<std::size_t>(stop - start)) {
            // The name buffer is about to grow: wipe the names it held first.
            key_.resize(key_.capacity());
            OPENSSL_cleanse(key_.data(), key_.size());
        }
        if (!escapes && plain != nullptr) {
            *plain = std::string_view(start, static_cast<std::size_t>(stop - start));
            return true;
        }
        if (!escapes) {
            out.assign(start, stop);  // one allocation of the exact size
            return true;
        }
        out.clear();
        out.reserve(static_cast<std::size_t>(stop - start));
        return unescape(start, stop, out);
    }

    // nlohmann's types: unsigned without a minus sign, signed with one, a
    // double with a fraction or exponent. Integers beyond 64 bits (a double
    // for nlohmann) go to the full reader. A double beyond the range reads
    // as plus or minus infinity, one below it as zero (or a subnormal).
    bool number(json& out) {
        const char* const start = p_;
        const bool negative = *p_ == '-';
        if (negative) ++p_;
        if (p_ == end_ || !is_digit(*p_)) return false;
        if (*p_ == '0') {
            ++p_;
            if (p_ != end_ && is_digit(*p_)) return false;
        } else {
            while (p_ != end_ && is_digit(*p_)) ++p_;
        }
        bool is_float = false;
        if (p_ != end_ && *p_ == '.') {
            ++p_;
            if (p_ == end_ || !is_digit(*p_)) return false;
            while (p_ != end_ && is_digit(*p_)) ++p_;
            is_float = true;
        }
        if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
            ++p_;
            if (p_ != end_ && (*p_ == '+' || *p_ == '-')) ++p_;
            if (p_ == end_ || !is_digit(*p_)) return false;
            while (p_ != end_ && is_digit(*p_)) ++p_;
            is_float = true;
        }
        if (is_float) {
            double d = 0;
            const auto [ptr, ec] = read_double(start, p_, d);
            if (ptr != p_) return false;
            if (ec == std::errc::result_out_of_range) {
                // Beyond the range: infinity. Below it: the full reader's
                // rounding to zero or a subnormal.
                if (!magnitude_at_least_one(std::string_view(start, static_cast<std::size_t>(p_ - start)))) return false;
                d = negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
            } else if (ec != std::errc()) {
                return false;
            }
            out = d;
            return true;
        }
        std::uint64_t magnitude = 0;
        const auto [ptr, ec] = std::from_chars(start + (negative ? 1 : 0), p_, magnitude);
        if (ec != std::errc() || ptr != p_) return false;
        if (!negative) {
            out = magnitude;
            return true;
        }
        constexpr std::uint64_t kMinMagnitude = std::uint64_t{1} << 63;
        if (magnitude > kMinMagnitude) return false;
        out = magnitude == kMinMagnitude ? std::numeric_limits<std::int64_t>::min()
                                         : -static_cast<std::int64_t>(magnitude);
        return true;
    }

    std::string_view text_;
    const char* p_;
    const char* end_;
    BorrowedString* borrow_;
    std::string key_;
};

}  // namespace

bool magnitude_at_least_one(std::string_view number) {
    const char* p = number.data();
    const char* const stop = p + number.size();
    if (*p == '-') ++p;
    long long position = 0;  // decimal position of the leading significant digit, 1 for units
    if (*p != '0') {
        while (p != stop && is_digit(*p)) ++p, ++position;
    } else {
        ++p;
        if (p != stop && *p == '.') {
            ++p;
            while (p != stop && *p == '0') ++p, --position;
            if (p == stop || !is_digit(*p)) return false;  // zero
        } else {
            return false;  // zero
        }
    }
    while (p != stop && *p != 'e' && *p != 'E') ++p;
    long long exponent = 0;
    if (p != stop) {
        ++p;
        const bool negative = *p == '-';
        if (*p == '+' || *p == '-') ++p;
        for (; p != stop; ++p) exponent = std::min(exponent * 10 + (*p - '0'), 1'000'000'000LL);
        if (negative) exponent = -exponent;
    }
    return position + exponent > 0;
}

std::optional<json> read_json_fast(std::string_view text, BorrowedString* borrow) {
    if (borrow != nullptr) borrow->text.reset();
    Reader reader(text, borrow);
    std::optional<json> document = reader.read();
    if (!document && borrow != nullptr) borrow->text.reset();
    return document;
}

}  // namespace ossara::detail
