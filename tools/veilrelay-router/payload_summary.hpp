#pragma once
// What the router needs to know about a decrypted request payload, read in
// one pass without building a document (so no further copies of the
// plaintext stay on the heap): whether it is a JSON object, its top-level
// "model" and whether it asks for a streamed answer.
#include <optional>
#include <string>
#include <string_view>

namespace veilrelay_router {

struct PayloadSummary {
    enum class Shape { object, not_json, not_an_object, too_deep } shape = Shape::not_json;
    std::optional<std::string> model;  // a top-level "model" whose value is a string
    bool stream_requested = false;     // a top-level "stream" member that is not false
};

inline constexpr std::size_t kMaxPayloadDepth = 512;

PayloadSummary summarise_payload(std::string_view json_text);

}  // namespace veilrelay_router
