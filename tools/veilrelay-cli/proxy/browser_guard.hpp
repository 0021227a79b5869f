#pragma once
// Keeps web pages away from the proxy. A page in the user's browser can send
// requests to a loopback port: a "simple" cross-site POST (a form, or
// text/plain) needs no preflight, and with DNS rebinding (a name of the
// page's own that resolves to 127.0.0.1) the page can read the answers too.
// So a request is served only when
//   - its Host names this proxy: the listen address, localhost, 127.0.0.1 or
//     [::1] with the proxy's port, or a name given with --allow-host (else 421);
//   - it carries no Origin, or an Origin given with --allow-origin (else 403);
//   - a POST says Content-Type: application/json (else 415), which a page
//     cannot send to another origin without a preflight.
// Allowed origins get CORS headers and preflight answers; no other does.
// Chat clients and SDKs send Host 127.0.0.1:PORT, no Origin, and JSON.
#include "proxy_errors.hpp"

#include <http_server/http_message.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veilrelay_cli {

// Which requests may come from a browser; the proxy's own port is given
// with each check (it is known once the proxy listens).
struct BrowserPolicy {
    std::string listen_host;  // as given to --listen, without brackets
    // --allow-host values: a name (any port) or NAME:PORT; IPv6 in brackets.
    std::vector<std::string> allowed_hosts;
    // --allow-origin values, e.g. "https://chat.example.com" (compared without case).
    std::vector<std::string> allowed_origins;
};

// Whether a Host header value names this proxy, listening on `port`.
bool is_allowed_host(const BrowserPolicy& policy, int port, std::string_view host);

// Whether a request's Origin may use the proxy (no Origin at all may).
bool is_allowed_origin(const BrowserPolicy& policy, const std::optional<std::string>& origin);

// Whether a Content-Type value is application/json, parameters allowed.
bool is_json_media_type(std::string_view content_type);

// The refusal of a request the browser rules forbid; nothing when it may go on.
std::optional<ErrorReply> browser_refusal(const BrowserPolicy& policy, int port,
                                          const ossara::http_server::HttpRequest& req);

// The answer to a CORS preflight (OPTIONS from an allowed Origin, with
// Access-Control-Request-Method); nothing for any other request.
std::optional<ossara::http_server::HttpResponse> preflight_answer(const BrowserPolicy& policy,
                                                                 const ossara::http_server::HttpRequest& req);

// Adds the CORS headers to an answer for a request from an allowed Origin.
void add_cors_headers(const BrowserPolicy& policy, const ossara::http_server::HttpRequest& req,
                      ossara::http_server::HttpResponse& res);

}  // namespace veilrelay_cli
