// The wire serialisation of JSON values (see json_writer.hpp for the rules).
// Iterative, so nesting depth is bounded by memory rather than by the stack,
// and linear: runs of characters that need no escape are appended in bulk.
#include "codec/json_writer.hpp"

#include "codec/json_text_scan.hpp"
#include "codec/number_text.hpp"
#include "core/large_buffers.hpp"

#include <ossara/veilrelay/errors.hpp>

#include <openssl/crypto.h>

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string_view>
#include <system_error>
#include <vector>

namespace ossara::detail {

namespace {

// Output buffer over std::string or std::vector<uint8_t>. It grows
// geometrically itself and wipes the old storage when it moves, because the
// text is often a plaintext that must not be left behind in freed memory.
template <typename Container>
class Sink {
public:
    explicit Sink(Container& out) : out_(out) {}

    void append(const char* data, std::size_t size) {
        make_room(size);
        // Same element type on both sides, so the insert is one memmove.
        const auto* bytes = reinterpret_cast<const typename Container::value_type*>(data);
        out_.insert(out_.end(), bytes, bytes + size);
    }
    // Room for `extra` more bytes up front, so that a text whose size is known
    // in advance is written without regrowing.
    void reserve(std::size_t extra) {
        make_room(extra);
        advise_large_buffer(out_.data() + out_.size(), out_.capacity() - out_.size());
    }
    void append(std::string_view text) { append(text.data(), text.size()); }
    void put(char c) {
        make_room(1);
        out_.push_back(static_cast<typename Container::value_type>(c));
    }

private:
    void make_room(std::size_t extra) {
        const std::size_t needed = out_.size() + extra;
        if (needed <= out_.capacity()) return;
        Container bigger;
        bigger.reserve(std::max(needed, out_.capacity() * 2 + 64));
        bigger.insert(bigger.end(), out_.begin(), out_.end());
        if (!out_.empty()) OPENSSL_cleanse(out_.data(), out_.size());
        out_.swap(bigger);
    }

    Container& out_;
};

// Length of the run of bytes from `from` on that need no escape.
std::size_t plain_run_end(std::string_view s, std::size_t from) {
    return from + plain_json_run(s.data() + from, s.data() + s.size());
}

constexpr char kHex[] = "0123456789abcdef";

template <typename Out>
void put_u_escape(Sink<Out>& sink, std::uint32_t unit) {
    const char escape[6] = {'\\', 'u', kHex[(unit >> 12) & 0xF], kHex[(unit >> 8) & 0xF], kHex[(unit >> 4) & 0xF],
                            kHex[unit & 0xF]};
    sink.append(escape, sizeof escape);
}

// Decodes one UTF-8 sequence starting at s[i] (a non-ASCII lead byte) and
// advances i. Surrogate code points encoded as three bytes are accepted and
// written back as the same \u escape; anything else malformed is refused.
std::uint32_t decode_utf8(std::string_view s, std::size_t& i) {
    const auto lead = static_cast<unsigned char>(s[i]);
    std::size_t len;
    std::uint32_t cp;
    if ((lead & 0xE0) == 0xC0) {
        len = 2;
        cp = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        len = 3;
        cp = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        len = 4;
        cp = lead & 0x07;
    } else {
        throw ValueError("string is not valid UTF-8");
    }
    if (i + len > s.size()) throw ValueError("string is not valid UTF-8");
    for (std::size_t k = 1; k < len; ++k) {
        const auto c = static_cast<unsigned char>(s[i + k]);
        if ((c & 0xC0) != 0x80) throw ValueError("string is not valid UTF-8");
        cp = (cp << 6) | (c & 0x3F);
    }
    if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
        throw ValueError("string is not valid UTF-8");
    i += len;
    return cp;
}

template <typename Out>
void write_string(Sink<Out>& sink, std::string_view s) {
    sink.put('"');
    std::size_t i = 0;
    while (i < s.size()) {
        const std::size_t run = plain_run_end(s, i);
        if (run > i) {
            sink.append(s.data() + i, run - i);
            i = run;
            if (i == s.size()) break;
        }
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            switch (c) {
                case '"': sink.append("\\\"", 2); break;
                case '\\': sink.append("\\\\", 2); break;
                case '\n': sink.append("\\n", 2); break;
                case '\r': sink.append("\\r", 2); break;
                case '\t': sink.append("\\t", 2); break;
                case '\b': sink.append("\\b", 2); break;
                case '\f': sink.append("\\f", 2); break;
                default: put_u_escape(sink, c); break;
            }
            ++i;
            continue;
        }
        const std::uint32_t cp = decode_utf8(s, i);
        if (cp > 0xFFFF) {
            const std::uint32_t v = cp - 0x10000;
            put_u_escape(sink, 0xD800 + (v >> 10));
            put_u_escape(sink, 0xDC00 + (v & 0x3FF));
        } else {
            put_u_escape(sink, cp);
        }
    }
    sink.put('"');
}

// The shortest round-trip digits, laid out like Python's float repr: fixed
// notation for decimal exponents -4 <= e < 16 (with ".0" for integral
// values), scientific otherwise ("1e+16", "1e-05", "5e-324").
template <typename Out>
void write_float(Sink<Out>& sink, double value) {
    if (std::isnan(value)) return sink.append("NaN");
    if (std::isinf(value)) return sink.append(value < 0 ? "-Infinity" : "Infinity");

    const ShortestDigits shortest = shortest_digits(value);
    const std::string_view digits(shortest.digits, static_cast<std::size_t>(shortest.count));
    const int exponent = shortest.exponent;
    std::string out;
    if (shortest.negative) out += '-';

    if (exponent < -4 || exponent >= 16) {
        out += digits[0];
        if (digits.size() > 1) {
            out += '.';
            out.append(digits, 1);
        }
        out += 'e';
        out += exponent < 0 ? '-' : '+';
        const int magnitude = exponent < 0 ? -exponent : exponent;
        if (magnitude < 10) out += '0';
        out += std::to_string(magnitude);
    } else {
        const int point = exponent + 1;  // digits before the decimal point
        const int count = static_cast<int>(digits.size());
        if (point <= 0) {
            out += "0.";
            out.append(static_cast<std::size_t>(-point), '0');
            out += digits;
        } else if (point >= count) {
            out += digits;
            out.append(static_cast<std::size_t>(point - count), '0');
            out += ".0";
        } else {
            out.append(digits, 0, static_cast<std::size_t>(point));
            out += '.';
            out.append(digits, static_cast<std::size_t>(point));
        }
    }
    sink.append(out);
}

template <typename Out, typename Int>
void write_integer(Sink<Out>& sink, Int value) {
    char buf[32];
    const auto result = std::to_chars(buf, buf + sizeof buf, value);
    sink.append(buf, static_cast<std::size_t>(result.ptr - buf));
}

template <typename Out>
void write_scalar(Sink<Out>& sink, const json& value) {
    switch (value.type()) {
        case json::value_t::null: return sink.append("null");
        case json::value_t::boolean: return sink.append(value.get<bool>() ? "true" : "false");
        case json::value_t::string: return write_string(sink, value.get_ref<const std::string&>());
        case json::value_t::number_integer: return write_integer(sink, value.get<std::int64_t>());
        case json::value_t::number_unsigned: return write_integer(sink, value.get<std::uint64_t>());
        case json::value_t::number_float: return write_float(sink, value.get<double>());
        case json::value_t::object: return sink.append("{}");
        case json::value_t::array: return sink.append("[]");
        case json::value_t::binary: throw TypeError("Object of type binary is not JSON serializable");
        case json::value_t::discarded: throw TypeError("Object of type discarded is not JSON serializable");
    }
}

// The written size of a string, quotes included.
std::size_t string_size(std::string_view s) { return written_string_size(s.data(), s.data() + s.size()) + 2; }

// At least the size of the text of `root`: strings exactly, a number as its
// longest form (24 characters). Reserved before writing, so the sink never
// grows, which would copy the text into fresh pages and wipe the old ones.
std::size_t text_size_bound(const json& root) {
    std::size_t size = 0;
    std::vector<const json*> pending{&root};
    while (!pending.empty()) {
        const json* value = pending.back();
        pending.pop_back();
        switch (value->type()) {
            case json::value_t::object:
                for (auto it = value->cbegin(); it != value->cend(); ++it) {
                    size += string_size(it.key()) + 4;  // ": " and ", "
                    pending.push_back(&*it);
                }
                size += 2;
                break;
            case json::value_t::array:
                for (const auto& element : *value) pending.push_back(&element);
                size += 2 + 2 * value->size();
                break;
            case json::value_t::string: size += string_size(value->get_ref<const std::string&>()); break;
            default: size += 24; break;
        }
    }
    return size;
}

template <typename Out>
void write(Out& out, const json& root) {
    Sink<Out> sink(out);
    sink.reserve(text_size_bound(root));
    struct Frame {
        json::const_iterator next;
        json::const_iterator end;
        bool is_object;
        bool first;
    };
    std::vector<Frame> open;
    const json* value = &root;
    while (value != nullptr) {
        if (value->is_structured() && !value->empty()) {
            sink.put(value->is_object() ? '{' : '[');
            open.push_back({value->cbegin(), value->cend(), value->is_object(), true});
        } else {
            write_scalar(sink, *value);
        }
        value = nullptr;
        while (!open.empty()) {
            Frame& frame = open.back();
            if (frame.next == frame.end) {
                sink.put(frame.is_object ? '}' : ']');
                open.pop_back();
                continue;
            }
            if (!frame.first) sink.append(", ", 2);
            frame.first = false;
            if (frame.is_object) {
                write_string(sink, frame.next.key());
                sink.append(": ", 2);
            }
            value = &*frame.next;
            ++frame.next;
            break;
        }
    }
}

}  // namespace

void append_json(std::string& out, const json& value) { write(out, value); }

std::string serialise_json(const json& value) {
    std::string out;
    write(out, value);
    return out;
}

std::vector<std::uint8_t> serialise_json_bytes(const json& value) {
    std::vector<std::uint8_t> out;
    write(out, value);
    return out;
}

}  // namespace ossara::detail
