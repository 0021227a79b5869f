#pragma once
// A single-pass JSON reader for the texts the client receives (packages and
// answers): it builds the document straight from the text, with no padded
// copy and no intermediate string buffer, so a long string exists once as
// text and once in the document. Anything it is not certain to read exactly
// as nlohmann's parser would (syntax errors, integers beyond 64 bits, -0,
// numbers out of double range, lone surrogates, deep nesting) makes it give
// up and leaves the text to the full reader.
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

}  // namespace ossara::detail
