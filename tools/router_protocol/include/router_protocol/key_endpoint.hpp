#pragma once
// GET /pki/public_key: the router's RSA public key as PEM text. Every router
// program serves it the same way, so clients fetch and pin the same bytes.
#include <string>

namespace httplib {
class Server;
}

namespace ossara::router_protocol {

inline constexpr const char* kPublicKeyPath = "/pki/public_key";
inline constexpr const char* kCompletionPath = "/v1/chat/secure_completion";

// Registers the key endpoint on `server`; `public_key_pem` must outlive it.
void serve_public_key(httplib::Server& server, const std::string& public_key_pem);

}  // namespace ossara::router_protocol
