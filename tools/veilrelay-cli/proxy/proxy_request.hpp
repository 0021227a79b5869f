#pragma once
// Reading an incoming chat-completion request: the body becomes the payload
// the library encrypts, the headers give the request id, the credentials and
// the security tier. Everything here comes from a local client the proxy
// does not trust, so every check fails with an ErrorReply, never a throw.
#include "proxy_errors.hpp"

#include <ossara/Veilrelay.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace veilrelay_cli {

// Deepest nesting of arrays and objects accepted in a request body.
inline constexpr int kMaxBodyDepth = 128;

struct CompletionRequest {
    ossara::json payload;  // the body without the members the proxy handles
    bool stream = false;
    bool include_usage = false;  // stream_options.include_usage
};

// Parses the body: a JSON object whose "stream" (boolean or null) and
// "stream_options" (object or null) are taken out; the other members keep
// their order.
std::variant<CompletionRequest, ErrorReply> parse_completion_body(std::string_view body);

// The request id: `header` when it is a usable header value (1 to 200
// printable ASCII characters, no blank at either end), else a fresh random UUID.
std::string request_id_from(const std::optional<std::string>& header);

// A random (version 4) UUID in its usual lower-case text form.
std::string random_uuid();

// The token of an "Authorization: Bearer <token>" value (scheme name in any
// case), or nothing.
std::optional<std::string> bearer_token(std::string_view authorization);

// Compares two secrets in time independent of where they differ and of
// their lengths (SHA-256 digests of both, compared in constant time).
bool same_secret(std::string_view a, std::string_view b) noexcept;

// The tier to send: the configured one when set, else the header's; a tier
// that is not one of the library's valid tiers is refused here, before any
// encryption.
std::variant<std::optional<std::string>, ErrorReply> choose_tier(const std::optional<std::string>& configured,
                                                                 const std::optional<std::string>& header);

}  // namespace veilrelay_cli
