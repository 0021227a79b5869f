#pragma once
// Reading a decrypted answer and completing its _metadata.
#include <ossara/Veilrelay.hpp>

#include <cstdint>
#include <span>
#include <string>

namespace ossara::detail {

// Parses decrypted bytes as JSON: UTF-8 (a leading BOM skipped), or UTF-16 /
// UTF-32 recognised by BOM or zero-byte pattern. ValueError "Decrypted
// response is not valid JSON: <parser's description>" when it cannot be
// decoded or parsed; ossara::TypeError when the value is neither an object nor null.
json parse_plaintext(std::span<const std::uint8_t> bytes);

// Adds _metadata when missing and sets payload_id, processed_at,
// is_encrypted, encryption_algorithm in that order. ossara::TypeError when the
// answer is not an object or its _metadata is not an object.
void complete_metadata(json& answer, const std::string& payload_id, const json& processed_at,
                       const std::string& algorithm);

}  // namespace ossara::detail
