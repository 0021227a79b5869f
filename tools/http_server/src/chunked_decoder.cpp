#include "http_server/chunked_decoder.hpp"

#include "http_grammar.hpp"

#include <algorithm>
#include <charconv>
#include <optional>

namespace ossara::http_server {

namespace {

namespace g = grammar;

// A size line is hex digits, maybe extensions; 1 KiB is far more than any needs.
constexpr std::size_t kMaxSizeLine = 1024;

bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// The end of the quoted string that starts at `at` (just past its closing
// quote), or npos when it is not one.
std::size_t quoted_string_end(std::string_view s, std::size_t at) {
    for (std::size_t i = at + 1; i < s.size(); ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c == '"') return i + 1;
        if (c == '\\') {
            if (++i == s.size()) break;
            const auto escaped = static_cast<unsigned char>(s[i]);
            if ((escaped < 0x20 && escaped != '\t') || escaped == 0x7f) break;
        } else if ((c < 0x20 && c != '\t') || c == 0x7f) {
            break;
        }
    }
    return std::string_view::npos;
}

// chunk-size *( ";" token [ "=" ( token / quoted-string ) ] ); the size,
// or nothing when the line is anything else (spaces included).
std::optional<std::size_t> chunk_size(std::string_view line) {
    const std::size_t digits = static_cast<std::size_t>(
        std::find_if_not(line.begin(), line.end(), is_hex) - line.begin());
    std::size_t size = 0;
    const auto [end, ec] = std::from_chars(line.data(), line.data() + digits, size, 16);
    if (digits == 0 || ec != std::errc() || end != line.data() + digits) return std::nullopt;
    std::size_t at = digits;
    const auto token_end = [&line](std::size_t from) {
        return static_cast<std::size_t>(std::find_if_not(line.begin() + static_cast<std::ptrdiff_t>(from), line.end(),
                                                         g::is_token_char) -
                                        line.begin());
    };
    while (at < line.size()) {
        if (line[at] != ';') return std::nullopt;
        const std::size_t name_end = token_end(at + 1);
        if (name_end == at + 1) return std::nullopt;
        at = name_end;
        if (at == line.size() || line[at] != '=') continue;
        ++at;
        if (at < line.size() && line[at] == '"') {
            at = quoted_string_end(line, at);
            if (at == std::string_view::npos) return std::nullopt;
        } else {
            const std::size_t value_end = token_end(at);
            if (value_end == at) return std::nullopt;
            at = value_end;
        }
    }
    return size;
}

}  // namespace

std::pair<ChunkedDecoder::State, std::size_t> ChunkedDecoder::feed(std::string_view input, std::string& out) {
    std::size_t used = 0;
    while (used < input.size()) {
        if (phase_ == Phase::data) {
            const std::size_t n = std::min(remaining_, input.size() - used);
            out.append(input.substr(used, n));
            used += n;
            remaining_ -= n;
            if (remaining_ == 0) phase_ = Phase::data_crlf;
            continue;
        }
        const char c = input[used++];
        if (after_cr_) {
            if (c != '\n') return {State::malformed, used};
            after_cr_ = false;
            const State state = end_of_line(out);
            line_.clear();
            if (state != State::more) return {state, used};
            continue;
        }
        if (c == '\n') return {State::malformed, used};  // a bare LF
        if (c == '\r') {
            after_cr_ = true;
            continue;
        }
        if (phase_ == Phase::trailer) {
            if (trailer_bytes_ + line_.size() + 2 >= limits_.max_trailer_bytes) return {State::trailer_too_large, used};
        } else if (line_.size() == (phase_ == Phase::data_crlf ? 0 : kMaxSizeLine)) {
            return {State::malformed, used};
        }
        line_ += c;
    }
    return {State::more, used};
}

// A whole line (in line_) has been read.
ChunkedDecoder::State ChunkedDecoder::end_of_line(std::string& out) {
    switch (phase_) {
        case Phase::data_crlf:
            phase_ = Phase::size_line;  // the line is empty: longer ones were refused
            return State::more;
        case Phase::trailer:
            // Trailer fields are checked, then dropped; the empty line ends the body.
            if (line_.empty()) return State::done;
            trailer_bytes_ += line_.size() + 2;
            if (++trailer_fields_ > limits_.max_trailer_fields) return State::trailer_too_large;
            return g::field_line(line_) ? State::more : State::malformed;
        case Phase::size_line: {
            const auto size = chunk_size(line_);
            if (!size) return State::malformed;
            if (*size > limits_.max_body - std::min(limits_.max_body, out.size())) return State::too_large;
            remaining_ = *size;
            phase_ = *size == 0 ? Phase::trailer : Phase::data;
            return State::more;
        }
        case Phase::data:
            break;
    }
    return State::malformed;
}

}  // namespace ossara::http_server
