#pragma once
// Reading one event of a model server's stream (a JSON text) without building
// a document: the text is checked once, then walked by position. Members and
// elements come back as views into the text, so no copy of the answer's
// strings is made on the heap (a parser's token buffers would be freed
// unwiped).
#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

namespace veilrelay_router::event_json {

inline constexpr std::size_t kMaxDepth = 512;

// Whether `text` is exactly one JSON value (whitespace around it allowed):
// the JSON grammar plus the tokens NaN, Infinity and -Infinity, which peers
// that write non-finite floats produce and the client reads; strings of valid
// UTF-8; objects and arrays nested at most kMaxDepth deep.
bool valid(std::string_view text);

// The functions below take values of a text that valid() accepted, without
// the whitespace around them.
bool is_object(std::string_view value);
bool is_array(std::string_view value);
bool is_string(std::string_view value);
bool is_null(std::string_view value);

struct Member {
    std::string_view key;    // as written between the quotes (escapes not decoded)
    std::string_view value;  // the value's text
};

// The members of an object in order; empty for any other value.
std::vector<Member> members(std::string_view object);
// The elements of an array in order; empty for any other value.
std::vector<std::string_view> elements(std::string_view array);
// The value of the first member whose key is written exactly `key`.
std::optional<std::string_view> member(std::string_view object, std::string_view key);
// A string's content between its quotes, escapes as written.
std::string_view string_content(std::string_view string);
// An integer value (digits only, no sign, fraction or exponent) up to 9 digits.
std::optional<long> small_integer(std::string_view value);

// The length of the longest prefix of `content` (a string's content as
// written) of at most `limit` bytes that ends between two characters: never
// inside an escape, between the two escapes of a surrogate pair, or inside a
// UTF-8 sequence.
std::size_t cut_point(std::string_view content, std::size_t limit);

}  // namespace veilrelay_router::event_json
