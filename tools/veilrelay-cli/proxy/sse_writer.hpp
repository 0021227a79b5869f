#pragma once
// Turns a whole chat-completion answer into the server-sent-event stream
// that streaming chat clients read: "chat.completion.chunk" objects, first
// each choice's message as one delta, then each choice's finish_reason in a
// chunk with an empty delta, with include_usage a last chunk without
// choices that carries the usage (every earlier chunk has "usage": null),
// and finally "data: [DONE]" (unless `done` is false: the caller ends the
// stream). The router answers whole, so the content arrives in one delta.
#include <ossara/Veilrelay.hpp>

#include <string>

namespace veilrelay_cli {

std::string sse_stream(const ossara::json& answer, bool include_usage, bool done = true);

// The JSON text the proxy sends for a JSON value: invalid UTF-8 (which a
// router could send) is replaced rather than failing the whole answer.
std::string json_text(const ossara::json& value);

}  // namespace veilrelay_cli
