#pragma once
// veilrelay-router: the router in front of an OpenAI-compatible model server.
//
//   GET  /pki/public_key             the server's RSA public key (PEM)
//   POST /v1/chat/secure_completion  checks the caller's headers, decrypts the
//                                    request package, applies API keys and the
//                                    tier policy, forwards the payload to
//                                    {upstream}/chat/completions (or answers
//                                    from the built-in echo model) and
//                                    encrypts the answer for X-Public-Key
//   GET  /v1/models                  the model server's model list, in clear
//                                    (names only; behind the API keys if set)
//   GET  /healthz, GET /metrics      health and Prometheus figures, served on
//                                    loopback or with ops_endpoints only
//
// Requests are served by a few event-loop threads, and the calls to the model
// server run on one libcurl multi handle, so thousands of requests may wait
// on a slow model server side by side without a thread each. Decrypted requests and answers live in
// Hushvault buffers and are wiped when the request ends; they are never
// logged. One info line per request goes to the "veilrelay-router" logger.
#include "api_keys.hpp"
#include "metrics.hpp"
#include "tier_policy.hpp"
#include "upstream_client.hpp"

#include <http_server/async_http_server.hpp>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace veilrelay_router {

// The package for the largest payload the client sends (10 MiB, base64 in
// the package) plus headroom for the package's own members.
inline constexpr std::size_t kDefaultMaxRequestBytes = 16u << 20;

struct RelayOptions {
    std::string host = "127.0.0.1";
    int port = 8443;  // 0 picks a free port
    std::optional<std::filesystem::path> tls_cert_file, tls_key_file;  // both => HTTPS
    bool insecure_http = false;  // allow plain HTTP on an address other than loopback
    std::optional<std::filesystem::path> server_key_file;  // else an RSA-4096 key is generated
    // Keys whose packages still open while only server_key_file is published:
    // the keys of a rotation (tried in order after the current key).
    std::vector<std::filesystem::path> previous_server_key_files;
    std::optional<UpstreamSettings> upstream;               // else the echo model answers
    std::optional<ApiKeys> api_keys;                        // else no key is required
    std::optional<TierPolicy> tier_policy;                  // else every model is allowed
    int worker_threads = 0;  // event-loop threads; 0: one per core
    // Connection deadlines and the connection limit (the body limit is max_request_bytes).
    ossara::http_server::ServerLimits limits{};
    // On stop, how long requests in flight may still run before they are cut with 503.
    std::chrono::milliseconds grace{10'000};
    // GET /healthz and GET /metrics on an address other than loopback too
    // (behind a load balancer that checks health); on loopback they always are.
    bool ops_endpoints = false;
    std::size_t max_request_bytes = kDefaultMaxRequestBytes;
};

class RelayRouter {
public:
    // Loads or generates the server key; std::runtime_error on a bad key or
    // a plain-HTTP address that is not loopback without insecure_http.
    explicit RelayRouter(RelayOptions options);
    ~RelayRouter();  // stops
    RelayRouter(const RelayRouter&) = delete;
    RelayRouter& operator=(const RelayRouter&) = delete;

    // Binds and serves on background threads; returns once listening.
    void start();
    // Stops accepting and closes idle connections; requests in flight get
    // the grace period, then those still running are answered 503 and cut.
    // Joins every thread. Idempotent.
    void stop();
    void stop(std::chrono::milliseconds grace);

    std::string base_url() const;
    int port() const;
    const std::string& public_key_pem() const;
    std::chrono::milliseconds grace() const;
    std::size_t open_connections() const;
    // The figures behind GET /metrics; the serving layer records into them.
    Metrics& metrics();
    // The public keys of previous_server_key_files, in their order.
    std::vector<std::string> previous_public_key_pems() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Whether `host` is a loopback address (127.0.0.0/8, ::1) or "localhost".
bool is_loopback_host(const std::string& host);

// Whether GET /healthz and GET /metrics are served: on loopback, or when asked for.
bool serves_ops_endpoints(const RelayOptions& options);

}  // namespace veilrelay_router
