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

// Throws json::parse_error like json::parse. With `borrow`, a string member
// at its path may be left in the text (see BorrowedString); the full
// reader, used for texts the single-pass reader gives up on, never borrows.
json parse_json(std::string_view text, BorrowedString* borrow = nullptr);

}  // namespace ossara::detail
