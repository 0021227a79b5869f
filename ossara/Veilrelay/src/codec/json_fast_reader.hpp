#pragma once
// A single-pass JSON reader for the texts the client receives (packages and
// answers): it builds the document straight from the text, with no padded
// copy and no intermediate string buffer, so a long string exists once as
// text and once in the document. Anything it is not certain to read exactly
// as the full reader would (syntax errors, integers beyond 64 bits, -0,
// nesting deeper than 64 levels) makes it give up and leaves the text to
// the full reader. A \u escape of a lone surrogate reads as that code unit
// in three bytes (WTF-8), as in the full reader.
#include <ossara/Veilrelay.hpp>

#include <optional>
#include <string_view>

namespace ossara::detail {

// A string member at text[outer][inner] that the caller reads straight from
// the text: when its value is a string without escapes, the document gets ""
// in its place and `text` is set to the characters between the quotes (a
// view into the parsed text). A repeated name resets it, as the last value wins.
struct BorrowedString {
    std::string_view outer;
    std::string_view inner;
    std::optional<std::string_view> text;
};

// The document, or nullopt when the text needs the full reader. Besides
// standard JSON it reads NaN, Infinity and -Infinity as values.
std::optional<json> read_json_fast(std::string_view text, BorrowedString* borrow = nullptr);

// Whether a valid JSON number text is at least one in magnitude, from its
// digits alone (any length, any exponent): tells an overflowing number from
// an underflowing one.
bool magnitude_at_least_one(std::string_view number);

}  // namespace ossara::detail
