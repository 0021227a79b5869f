#include "proxy_server.hpp"

#include "browser_guard.hpp"
#include "exchange_runner.hpp"
#include "listen_address.hpp"
#include "proxy_errors.hpp"
#include "proxy_request.hpp"
#include "router_models.hpp"
#include "sse_writer.hpp"
#include "stream_relay.hpp"

#include <asio/co_spawn.hpp>
#include <asio/this_coro.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_awaitable.hpp>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <thread>

namespace veilrelay_cli {

namespace {

namespace hs = ossara::http_server;

constexpr const char* kCompletionsPath = "/v1/chat/completions";
constexpr const char* kModelsPath = "/v1/models";
constexpr const char* kJson = "application/json";
constexpr std::chrono::milliseconds kModelListTimeout{5000};

std::optional<std::string> header_of(const hs::HttpRequest& req, const char* name) {
    if (!req.has_header(name)) return std::nullopt;
    return req.header(name);
}

void write_error(hs::HttpResponse& res, const ErrorReply& reply) {
    res.status = reply.status;
    res.set_content(error_body(reply), kJson);
    if (reply.retry_after) res.set_header("Retry-After", *reply.retry_after);
}

ErrorReply too_large(std::size_t limit) {
    return {413, "invalid_request_error", "payload_too_large",
            "The request body is larger than the limit of " + std::to_string(limit) + " bytes"};
}

// The answers the HTTP server makes itself, in the common error shape.
ErrorReply server_error(int status, const std::string& message, std::size_t body_limit) {
    switch (status) {
        case 413: return too_large(body_limit);
        case 431: return {431, "invalid_request_error", "too_many_headers", message};
        case 408: return {408, "invalid_request_error", "request_timeout", message};
        case 503: return {503, "service_unavailable_error", message.starts_with("Too many")
                                                                ? "too_many_connections" : "shutting_down",
                          message};
        case 500: return {500, "internal_error", std::nullopt, "Internal error in the proxy"};
        default: return {status, "invalid_request_error", "invalid_request", message};
    }
}

}  // namespace

struct ProxyServer::Impl {
    Impl(ossara::Veilrelay& c, ProxyConfig cfg)
        : client(c),
          config(std::move(cfg)),
          browser{config.host, config.allowed_hosts, config.allowed_origins},
          bound_port(config.port) {}

    ossara::Veilrelay& client;
    const ProxyConfig config;
    const BrowserPolicy browser;
    // The port Host headers must name: known once the server listens, read by its loops.
    std::atomic<int> bound_port;
    std::unique_ptr<hs::AsyncHttpServer> server;
    // One runner per event loop, on that loop's io_context: a request's
    // exchange runs on the thread that serves its connection.
    std::vector<std::unique_ptr<ExchangeRunner>> runners;
    // The model list is fetched with a blocking call: off the event loops.
    std::unique_ptr<asio::thread_pool> side_work;
    int port = 0;
    bool stopped = false;

    using Clock = std::chrono::steady_clock;

    void log_line(const std::string& id, const std::string& method, const std::string& path, int status,
                  Clock::time_point start, std::size_t bytes_in, std::size_t bytes_out) const {
        if (!config.log) return;
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        config.log->info("request {} {} {} -> {} in {} ms, {} bytes in, {} bytes out", id, method, path, status, ms,
                         bytes_in, bytes_out);
    }

    void log_request(const hs::HttpRequest& req, const hs::HttpResponse& res, Clock::time_point start,
                     std::size_t bytes_in) const {
        // A streamed answer's line is written when it ends.
        if (res.stream) return;
        log_line(res.header("X-Request-ID"), req.method, req.path, res.status, start, bytes_in, res.body.size());
    }

    // What every request must pass before its body is read, after the
    // browser rules: the local token when one is set, and a declared body
    // within the limit. Nothing when the request may go on.
    std::optional<ErrorReply> admission(const hs::HttpRequest& req) const {
        if (config.local_token) {
            const auto token = bearer_token(req.header("Authorization"));
            if (!token || !same_secret(*token, *config.local_token))
                return ErrorReply{401, "authentication_error", "invalid_local_token",
                                  "This proxy requires \"Authorization: Bearer <local token>\""};
        }
        const hs::BodyFraming framing = hs::body_framing(req);
        if (framing.kind == hs::BodyFraming::Kind::length && framing.length > config.max_body_bytes)
            return too_large(config.max_body_bytes);
        return std::nullopt;
    }

    // Runs before the body is read (and before "100 Continue"), so a refused
    // client need not send it. A preflight of an allowed origin is answered
    // here too (it carries no credentials, so the token cannot be asked for).
    std::optional<hs::HttpResponse> on_head(const hs::HttpRequest& req) const {
        std::optional<hs::HttpResponse> res;
        std::optional<ErrorReply> refusal = browser_refusal(browser, bound_port.load(), req);
        if (!refusal) res = preflight_answer(browser, req);
        if (!refusal && !res) refusal = admission(req);
        if (refusal) {
            res.emplace();
            res->set_header("X-Request-ID", request_id_from(header_of(req, "X-Request-ID")));
            add_cors_headers(browser, req, *res);
            write_error(*res, *refusal);
        }
        if (res) log_request(req, *res, Clock::now(), 0);
        return res;
    }

    asio::awaitable<hs::HttpResponse> on_request(hs::HttpRequest& req) {
        const auto start = Clock::now();
        hs::HttpResponse res;
        res.set_header("X-Request-ID", request_id_from(header_of(req, "X-Request-ID")));
        add_cors_headers(browser, req, res);
        if (req.path == kCompletionsPath && req.method == "POST") {
            co_await completions(req, res);
        } else if (req.path == kModelsPath && req.method == "GET") {
            co_await models(req, res);
        } else {
            write_error(res, {404, "invalid_request_error", "unknown_url",
                              "Unknown request URL: " + req.method + " " + req.path});
        }
        log_request(req, res, start, req.body.size());
        co_return res;
    }

    asio::awaitable<void> completions(const hs::HttpRequest& req, hs::HttpResponse& res) {
        auto parsed = parse_completion_body(req.body);
        if (auto* refusal = std::get_if<ErrorReply>(&parsed)) co_return write_error(res, *refusal);
        CompletionRequest& request = std::get<CompletionRequest>(parsed);

        auto tier = choose_tier(config.tier, header_of(req, "X-Security-Tier"));
        if (auto* refusal = std::get_if<ErrorReply>(&tier)) co_return write_error(res, *refusal);

        std::optional<std::string> api_key = config.router_api_key;
        if (!api_key && !config.local_token) api_key = bearer_token(req.header("Authorization"));

        if (request.stream) {
            // The streamed payload says "stream": true itself, so an empty one is refused here.
            if (request.payload.empty())
                co_return write_error(res, invalid_request("The payload is empty", "empty_payload"));
            // The model server streams, so it adds the usage chunk itself when asked.
            if (request.include_usage) request.payload["stream_options"] = {{"include_usage", true}};
            StreamRequest streaming{std::move(request.payload), res.header("X-Request-ID"), std::move(api_key),
                                    std::move(std::get<std::optional<std::string>>(tier)), request.include_usage};
            const std::string id = streaming.id;
            const std::string path = req.path;
            const std::size_t bytes_in = req.body.size();
            const auto start = Clock::now();
            // Named first: g++ 12 mishandles capturing temporaries inside a co_await expression.
            std::function<void(int, std::size_t)> done = [this, id, path, bytes_in, start](int status,
                                                                                          std::size_t bytes_out) {
                log_line(id, "POST", path, status, start, bytes_in, bytes_out);
            };
            co_return co_await answer_streaming(client, std::move(streaming), res, std::move(done));
        }

        const auto executor = co_await asio::this_coro::executor;
        ExchangeRunner& runner = runner_here(executor);
        ExchangeOutcome outcome =
            co_await runner.async_run(std::move(request.payload), res.header("X-Request-ID"), std::move(api_key),
                                       std::move(std::get<std::optional<std::string>>(tier)));
        if (!outcome.answer)
            co_return write_error(res, map_exchange_failure(outcome.error, outcome.end, outcome.model_server_error));

        res.status = 200;
        if (request.stream) {
            res.set_header("Cache-Control", "no-cache");
            res.set_content(sse_stream(*outcome.answer, request.include_usage), "text/event-stream");
        } else {
            res.set_content(json_text(*outcome.answer), kJson);
        }
    }

    ExchangeRunner& runner_here(const asio::any_io_executor& executor) const {
        const auto* context = &asio::query(executor, asio::execution::context);
        const auto loops = server->loop_contexts();
        for (std::size_t i = 0; i < loops.size(); ++i)
            if (static_cast<const asio::execution_context*>(loops[i]) == context) return *runners[i];
        return *runners.front();
    }

    // The router's list (the model server's) with the configured names
    // added; the configured names alone when the router has no list.
    asio::awaitable<void> models(const hs::HttpRequest& req, hs::HttpResponse& res) {
        std::optional<std::string> api_key = config.router_api_key;
        if (!api_key && !config.local_token) api_key = bearer_token(req.header("Authorization"));
        std::optional<ossara::json> listed;
        if (config.list_router_models) {
            // A named lambda without captures of its own: g++ 12 mishandles a
            // capturing temporary lambda inside a co_await expression.
            const auto fetch = [](Impl* self, std::optional<std::string> key)
                -> asio::awaitable<std::optional<ossara::json>> {
                co_return fetch_router_models(self->client, key, kModelListTimeout);
            };
            auto on_side = asio::co_spawn(*side_work, fetch(this, std::move(api_key)), asio::use_awaitable);
            listed = co_await std::move(on_side);
        }
        res.status = 200;
        res.set_content(json_text(merged_model_list(listed, config.models)), kJson);
    }

    // The server's own answers (malformed requests, deadlines, the
    // connection limit, shutdown) get a line too.
    void on_notice(const hs::ServerNotice& notice) const {
        if (!config.log) return;
        if (notice.request)
            config.log->info("request {} {} {} -> {} ({})", notice.remote, notice.request->method,
                             notice.request->path, notice.status, notice.message);
        else if (notice.status != 0)
            config.log->info("connection {} -> {} ({})", notice.remote, notice.status, notice.message);
        else
            config.log->warn("{}", notice.message);
    }
};

ProxyServer::ProxyServer(ossara::Veilrelay& client, ProxyConfig config)
    : impl_(std::make_unique<Impl>(client, std::move(config))) {}

ProxyServer::~ProxyServer() { stop(); }

void ProxyServer::start() {
    Impl& d = *impl_;
    if (d.server) throw std::logic_error("proxy already started");
    d.side_work = std::make_unique<asio::thread_pool>(1);
    hs::ServerOptions options;
    options.threads = d.config.threads;
    options.limits = d.config.limits;
    options.limits.max_body_bytes = d.config.max_body_bytes;
    options.limits.max_headers = d.config.max_header_count;
    options.handlers.on_head = [&d](const hs::HttpRequest& req) { return d.on_head(req); };
    options.handlers.on_request = [&d](hs::HttpRequest& req) { return d.on_request(req); };
    options.handlers.error_page = [&d](int status, const std::string& message) {
        hs::HttpResponse res;
        write_error(res, server_error(status, message, d.config.max_body_bytes));
        return res;
    };
    options.handlers.on_notice = [&d](const hs::ServerNotice& notice) { d.on_notice(notice); };
    d.server = std::make_unique<hs::AsyncHttpServer>(std::move(options));
    for (asio::io_context* io : d.server->loop_contexts())
        d.runners.push_back(std::make_unique<ExchangeRunner>(d.client, d.config.exchange_timeout, *io));
    try {
        d.port = d.server->listen(d.config.host, d.config.port);
        d.bound_port = d.port;
    } catch (const std::runtime_error&) {
        d.runners.clear();
        d.server.reset();
        d.side_work.reset();
        throw std::runtime_error("cannot listen on " + ListenAddress{d.config.host, d.config.port}.url(d.config.port));
    }
}

void ProxyServer::stop() {
    Impl& d = *impl_;
    if (!d.server || d.stopped) return;
    d.stopped = true;
    // New exchanges end at once with 503 and those in flight are cancelled
    // after the grace period, when the server cuts their requests too.
    for (auto& runner : d.runners) runner->drain(d.config.shutdown_grace);
    d.server->stop(d.config.shutdown_grace);
    // The loops have stopped: the runners go, then the loops' io_contexts.
    d.runners.clear();
    d.side_work->join();
    d.server.reset();
}

int ProxyServer::port() const { return impl_->port; }

std::string ProxyServer::base_url() const {
    return ListenAddress{impl_->config.host, impl_->port}.url(impl_->port) + "/v1";
}

}  // namespace veilrelay_cli
