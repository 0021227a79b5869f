#pragma once
// `veilrelay chat`: one encrypted chat-completion exchange with the router.
#include "key_store.hpp"
#include "router_access.hpp"

#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>

namespace veilrelay_cli {

struct ChatOptions {
    std::string router_url;
    std::optional<std::string> message;                 // positional MESSAGE
    std::optional<std::filesystem::path> payload_file;  // --payload
    std::string model = "echo";
    bool model_given = false;  // --model on the command line (overrides a payload file's model)
    std::optional<std::string> api_key;
    std::optional<std::filesystem::path> api_key_file;
    std::optional<std::string> tier;
    bool allow_http = false;
    std::optional<std::filesystem::path> ca_file;
    RouterAccess access;  // --proxy, --pin
    KeyOptions keys;
    bool json_output = false;
    bool raw_output = false;  // --raw: the model's text unchanged, control characters included
    bool stream = false;  // --stream: print the answer as it comes
    bool animate_progress = false;
};

// Sends the request and writes the answer to `out`: the whole answer object
// with json_output, else choices[0].message.content. With `stream`, the
// content deltas as they are verified (with json_output: each chunk object on
// a line of its own), one newline at the end. The text is written
// terminal-safe (terminal_text.hpp) unless raw_output. The message comes from
// `in` when neither MESSAGE nor --payload is given. Errors are thrown (see
// exit_codes.hpp for how they are reported).
void run_chat(ChatOptions options, std::istream& in, std::ostream& out);

}  // namespace veilrelay_cli
