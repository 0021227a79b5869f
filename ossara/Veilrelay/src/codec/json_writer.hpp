#pragma once
// The wire serialisation of JSON values: one line, ", " and ": " separators,
// members in insertion order, ASCII only (lowercase \u escapes, surrogate
// pairs for characters beyond U+FFFF, short escapes \" \\ \n \r \t \b \f,
// "/" not escaped), integers in decimal, floats in the shortest round-trip
// form with a fraction or exponent, NaN / Infinity / -Infinity tokens.
// The text is sized first (one scan of its strings), then written in one
// pass into that reservation; linear in the size of the output.
#include <ossara/Veilrelay.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace ossara::detail {

void append_json(std::string& out, const json& value);
std::string serialise_json(const json& value);
// Same bytes, in a byte buffer the caller can wipe.
std::vector<std::uint8_t> serialise_json_bytes(const json& value);

}  // namespace ossara::detail
