#pragma once
// Building the chat-completion request and reading the answer.
#include <ossara/Veilrelay.hpp>

#include <filesystem>
#include <optional>
#include <string>

namespace veilrelay_cli {

// {"model": model, "messages": [{"role": "user", "content": message}]}
ossara::json chat_payload(const std::string& model, const std::string& message);

// The JSON object stored in `path`, members in file order. With `model`, its
// "model" member is set (replaced in place, or appended). Text that is not a
// JSON object is an InputError naming the file.
ossara::json payload_from_file(const std::filesystem::path& path, const std::optional<std::string>& model);

// choices[0].message.content of an answer: a string as it is, any other JSON
// value as JSON text. An answer without it is a std::runtime_error.
std::string answer_text(const ossara::json& answer);

// The text of one chunk of a streamed answer: choices[0].delta.content of a
// model server's chunk, or the whole content of an answer the router relays
// as its only chunk (a model that answered whole, the router's echo model);
// nothing for a chunk without text (a role, a finish reason, usage).
std::string chunk_text(const ossara::json& chunk);

// A fresh identifier for X-Payload-ID: "veilrelay-" and 32 random hex digits.
std::string new_payload_id();

}  // namespace veilrelay_cli
