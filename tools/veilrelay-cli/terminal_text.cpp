#include "terminal_text.hpp"

#include <algorithm>

namespace veilrelay_cli {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

enum class Kind { complete, invalid, incomplete };

struct Sequence {
    Kind kind;
    std::size_t length;  // bytes of a complete sequence
    char32_t code_point;
};

// Reads the UTF-8 sequence that opens `text` (not empty). Overlong forms,
// surrogates and code points above U+10FFFF are invalid; a sequence that is
// valid so far but cut off by the end of `text` is incomplete.
Sequence read_sequence(std::string_view text) {
    const auto lead = static_cast<unsigned char>(text[0]);
    if (lead < 0x80) return {Kind::complete, 1, lead};
    std::size_t length = 0;
    char32_t code_point = 0;
    // The bounds of the second byte; later bytes are 0x80..0xBF.
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code_point = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code_point = lead & 0x0Fu;
        if (lead == 0xE0) low = 0xA0;   // overlong
        if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code_point = lead & 0x07u;
        if (lead == 0xF0) low = 0x90;   // overlong
        if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
        return {Kind::invalid, 1, 0};
    }
    for (std::size_t k = 1; k < length; ++k) {
        if (k >= text.size()) return {Kind::incomplete, k, 0};
        const auto byte = static_cast<unsigned char>(text[k]);
        if (byte < low || byte > high) return {Kind::invalid, 1, 0};
        low = 0x80;
        high = 0xBF;
        code_point = (code_point << 6) | (byte & 0x3Fu);
    }
    return {Kind::complete, length, code_point};
}

void show_invalid_byte(char byte, std::string& out) {
    const auto u = static_cast<unsigned char>(byte);
    out += '<';
    out += kHex[u >> 4];
    out += kHex[u & 0x0F];
    out += '>';
}

// A complete sequence: its bytes, or the visible form of a control.
void show(std::string_view bytes, char32_t code_point, std::string& out) {
    if (code_point == '\n' || code_point == '\t') {
        out += static_cast<char>(code_point);
    } else if (code_point < 0x20) {
        out += '^';
        out += static_cast<char>(code_point + 0x40);
    } else if (code_point == 0x7F) {
        out += "^?";
    } else if (code_point >= 0x80 && code_point <= 0x9F) {
        out += "<U+00";
        out += kHex[code_point >> 4];
        out += kHex[code_point & 0x0F];
        out += '>';
    } else {
        out += bytes;
    }
}

}  // namespace

TerminalText::~TerminalText() { std::fill(held_.begin(), held_.end(), '\0'); }

void TerminalText::write(std::string_view piece, std::string& out) {
    // First the sequence held back from the previous piece.
    while (held_size_ > 0 && !piece.empty()) {
        held_[held_size_] = piece.front();
        const Sequence sequence = read_sequence({held_.data(), held_size_ + 1});
        if (sequence.kind == Kind::invalid) {
            // The held bytes are a lead byte and continuation bytes, none of
            // which opens a sequence; the new byte is read afresh below.
            for (std::size_t k = 0; k < held_size_; ++k) show_invalid_byte(held_[k], out);
            held_size_ = 0;
            break;
        }
        ++held_size_;
        piece.remove_prefix(1);
        if (sequence.kind == Kind::complete) {
            show({held_.data(), held_size_}, sequence.code_point, out);
            held_size_ = 0;
        }
    }
    std::size_t at = 0;
    while (at < piece.size()) {
        const Sequence sequence = read_sequence(piece.substr(at));
        if (sequence.kind == Kind::incomplete) {
            held_size_ = piece.size() - at;  // at most 3 bytes
            std::copy(piece.begin() + static_cast<std::ptrdiff_t>(at), piece.end(), held_.begin());
            return;
        }
        if (sequence.kind == Kind::invalid) {
            show_invalid_byte(piece[at], out);
            ++at;
            continue;
        }
        show(piece.substr(at, sequence.length), sequence.code_point, out);
        at += sequence.length;
    }
}

void TerminalText::finish(std::string& out) {
    for (std::size_t k = 0; k < held_size_; ++k) show_invalid_byte(held_[k], out);
    held_size_ = 0;
    std::fill(held_.begin(), held_.end(), '\0');
}

std::string terminal_safe(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    TerminalText shown;
    shown.write(text, out);
    shown.finish(out);
    return out;
}

std::string terminal_safe_json(std::string_view json_text) {
    static constexpr char kLowerHex[] = "0123456789abcdef";  // as the JSON writer escapes
    std::string out;
    out.reserve(json_text.size());
    for (std::size_t at = 0; at < json_text.size(); ++at) {
        const auto byte = static_cast<unsigned char>(json_text[at]);
        const auto next = at + 1 < json_text.size() ? static_cast<unsigned char>(json_text[at + 1]) : 0u;
        // In valid UTF-8, 0xC2 is always a lead byte, and 0xC2 0x80..0x9F is
        // exactly U+0080..U+009F (the second byte is the code point); both
        // it and DEL can only stand inside a JSON string.
        const bool c1 = byte == 0xC2 && next >= 0x80 && next <= 0x9F;
        if (byte != 0x7F && !c1) {
            out += json_text[at];
            continue;
        }
        const unsigned code_point = c1 ? next : byte;
        if (c1) ++at;
        out += "\\u00";
        out += kLowerHex[code_point >> 4];
        out += kLowerHex[code_point & 0x0F];
    }
    return out;
}

}  // namespace veilrelay_cli
