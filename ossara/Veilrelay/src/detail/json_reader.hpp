#pragma once
// Parsing received JSON text. Besides standard JSON it accepts the tokens
// NaN, Infinity and -Infinity, which peers that write non-finite floats
// produce (and which our own writer produces for them).
#include <ossara/Veilrelay.hpp>

#include <string_view>

namespace ossara::detail {

// Throws json::parse_error like json::parse.
json parse_json(std::string_view text);

}  // namespace ossara::detail
