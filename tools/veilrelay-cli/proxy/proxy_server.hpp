#pragma once
// The HTTP side of `veilrelay proxy`: a local server that speaks the common
// chat-completions API and runs every request as one end-to-end encrypted
// exchange with the router.
//
//   POST /v1/chat/completions  body = the payload, answer = the decrypted
//                              answer (JSON, or server-sent events with "stream")
//   GET  /v1/models            the router's model list (the model server's),
//                              plus the configured model names
//
// The HTTP side runs on a few event-loop threads that multiplex every
// connection; the exchanges all run on one io_context driven by one thread of
// this class, and a request's coroutine waits for its exchange without
// holding a thread. So thousands of callers may wait on the router at once.
#include <ossara/Veilrelay.hpp>
#include <http_server/async_http_server.hpp>

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace spdlog {
class logger;
}

namespace veilrelay_cli {

struct ProxyConfig {
    std::string host = "127.0.0.1";
    int port = 0;  // 0 picks a free port
    // The router API key for every request (--api-key-file). Without it the
    // caller's "Authorization: Bearer" token is passed on, unless a local
    // token is set: then that header proves the caller and is not passed on.
    std::optional<std::string> router_api_key;
    std::optional<std::string> local_token;  // callers must send "Authorization: Bearer <token>"
    // Besides the listen address, localhost, 127.0.0.1 and [::1] (with the
    // proxy's port): the Host names served (--allow-host), and the web
    // origins that may call (--allow-origin); see browser_guard.hpp.
    std::vector<std::string> allowed_hosts;
    std::vector<std::string> allowed_origins;
    std::optional<std::string> tier;         // overrides the caller's X-Security-Tier
    std::vector<std::string> models;         // what GET /v1/models lists besides the router's list
    bool list_router_models = true;          // ask the router for its list
    // Longest time one exchange may take before the caller gets 504.
    std::chrono::milliseconds exchange_timeout{std::chrono::seconds(60)};
    // On stop, how long requests in flight may still run before they are cancelled.
    std::chrono::milliseconds shutdown_grace{std::chrono::seconds(10)};
    // Event-loop threads (0: one per core).
    std::size_t threads = 0;
    std::size_t max_body_bytes = ossara::Veilrelay::MAX_PAYLOAD_SIZE;
    std::size_t max_header_count = 100;
    // Connection deadlines and the connection limit.
    ossara::http_server::ServerLimits limits{};
    // One info line per request: id, status, duration, sizes. Nothing when null.
    std::shared_ptr<spdlog::logger> log;
};

class ProxyServer {
public:
    // `client` must have its key pair and outlive the server.
    ProxyServer(ossara::Veilrelay& client, ProxyConfig config);
    ~ProxyServer();  // stops
    ProxyServer(const ProxyServer&) = delete;
    ProxyServer& operator=(const ProxyServer&) = delete;

    // Binds and starts serving; returns once connections are accepted.
    // Throws std::runtime_error when the address cannot be bound.
    void start();
    // Stops accepting and closes idle connections; requests in flight get the
    // grace period, and those still running then end with 503. Joins every
    // thread. Idempotent.
    void stop();

    int port() const;
    // "http://HOST:PORT/v1", what a chat client takes as its base URL.
    std::string base_url() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace veilrelay_cli
