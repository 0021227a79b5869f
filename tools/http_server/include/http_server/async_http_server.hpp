#pragma once
// An event-driven HTTP/1.1 server on standalone Asio: a few threads, each
// running its own io_context, multiplex every connection. A request handler
// is a coroutine, so a request that waits on the network (the router's model
// server, the proxy's router) holds no thread. Each connection has
// deadlines for every phase, so a peer that trickles, stalls or never sends
// anything is closed instead of holding a slot; past the connection limit
// a new connection gets a 503 at once instead of waiting unseen (under TLS,
// once it has finished its handshake, for which it gets a second at most).
// HEAD is answered with the head a GET would get.
#include "http_server/http_message.hpp"

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ossara::http_server {

struct ServerLimits {
    // From a connection's first byte (or its acceptance, for the first
    // request) to the end of the request head; covers the TLS handshake.
    std::chrono::milliseconds head_timeout{10'000};
    // Longest wait for the next piece of a body that is being sent.
    std::chrono::milliseconds body_timeout{10'000};
    // From a request's first byte to the end of its body, however it
    // trickles: past it the request is answered 408.
    std::chrono::milliseconds request_timeout{60'000};
    // How long an idle keep-alive connection waits for its next request.
    std::chrono::milliseconds idle_timeout{60'000};
    // Longest wait for the peer to take the next piece of an answer.
    std::chrono::milliseconds write_timeout{60'000};
    std::size_t max_connections = 16'384;
    std::size_t max_head_bytes = 64 * 1024;
    std::size_t max_headers = 100;
    std::size_t max_body_bytes = 16u << 20;
    // The request bodies being read or served at once, all connections
    // together. A body takes its share before it is read (the declared
    // length, or as a chunked body grows) and gives it back once its
    // handler is done; one that does not fit is answered 503.
    std::size_t max_body_memory = std::size_t{128} << 20;
    std::size_t max_trailer_fields = 32;
    std::size_t max_trailer_bytes = 16 * 1024;
};

// What the server answered on its own, without a handler: a malformed or
// oversized request, a refusal at the limit, a request cut at shutdown, a
// head that did not arrive in time. `request` is null when no head was read.
struct ServerNotice {
    const HttpRequest* request;
    std::string remote;
    int status;  // 0: closed without an answer
    std::string message;
};

struct ServerHandlers {
    // Called with the head, before any of the body is read (and before
    // "100 Continue"); an answer refuses the request: it is written at once,
    // the body stays unread and the connection is closed.
    std::function<std::optional<HttpResponse>(const HttpRequest&)> on_head;
    // Serves a whole request. Runs on one of the server's threads; may be
    // cancelled at shutdown (after the grace period).
    std::function<asio::awaitable<HttpResponse>(HttpRequest&)> on_request;
    // The body of an answer the server makes itself ({"detail": ...} or the
    // like); a plain text body when empty.
    std::function<HttpResponse(int status, const std::string& message)> error_page;
    // One call per answer the server made itself (for the log).
    std::function<void(const ServerNotice&)> on_notice;
};

struct ServerOptions {
    std::size_t threads = 0;  // 0: one per core
    std::string cert_file, key_file;  // both set: HTTPS
    ServerLimits limits;
    ServerHandlers handlers;
};

class AsyncHttpServer {
public:
    // std::runtime_error when the certificate or key cannot be loaded.
    explicit AsyncHttpServer(ServerOptions options);
    ~AsyncHttpServer();  // stops with no grace
    AsyncHttpServer(const AsyncHttpServer&) = delete;
    AsyncHttpServer& operator=(const AsyncHttpServer&) = delete;

    // Binds host:port (0 picks a free port) and starts the threads; returns
    // the bound port. std::runtime_error when the address cannot be bound.
    int listen(const std::string& host, int port);

    // Stops accepting at once and closes idle connections; requests in
    // flight get `grace` to finish (their connections close after the
    // answer). Then those still running are cancelled and answered 503, and
    // every connection is closed. Returns when every thread has ended.
    // Idempotent. The loops' io_contexts live on until the server is
    // destroyed, so completions posted to them late are dropped safely.
    void stop(std::chrono::milliseconds grace = std::chrono::milliseconds(0));

    std::size_t open_connections() const;
    std::size_t thread_count() const;
    // The io_context of each loop thread (exists from construction on), for
    // work that should run beside the requests of that loop.
    std::vector<asio::io_context*> loop_contexts() const;

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

}  // namespace ossara::http_server
