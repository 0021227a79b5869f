#pragma once
// Parsing received JSON text. Besides standard JSON it accepts the tokens
// NaN, Infinity and -Infinity, which peers that write non-finite floats
// produce (and which our own writer produces for them). A single-pass reader
// takes the common texts; nlohmann's parser settles everything else,
// including what is an error and how it is described.
#include <ossara/Veilrelay.hpp>

#include <string_view>

namespace ossara::detail {

struct BorrowedString;

// Received documents nested deeper than this (objects and arrays counted
// together) are refused as malformed: nothing that handles a received value
// may then recurse without bound. Close to where Python's json module gives up.
inline constexpr int kMaxJsonDepth = 1000;

// Throws json::parse_error like json::parse, also for a document nested
// deeper than kMaxJsonDepth. Numbers beyond the double range read as plus or
// minus infinity. With `borrow`, a string member
// at its path may be left in the text (see BorrowedString); the full
// reader, used for texts the single-pass reader gives up on, never borrows.
json parse_json(std::string_view text, BorrowedString* borrow = nullptr);

// The full reader alone, for a text the single-pass reader (read_json_fast)
// has already given up on.
json parse_json_full(std::string_view text);

}  // namespace ossara::detail
