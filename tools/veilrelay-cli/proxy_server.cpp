#include "proxy_server.hpp"

#include "exchange_runner.hpp"
#include "listen_address.hpp"
#include "proxy_errors.hpp"
#include "proxy_request.hpp"
#include "router_models.hpp"
#include "sse_writer.hpp"

#include <httplib.h>
#include <router_protocol/http_listener.hpp>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <charconv>
#include <limits>
#include <stdexcept>
#include <thread>

namespace veilrelay_cli {

namespace {

constexpr const char* kCompletionsPath = "/v1/chat/completions";
constexpr const char* kModelsPath = "/v1/models";
constexpr const char* kJson = "application/json";
constexpr std::chrono::milliseconds kModelListTimeout{5000};

std::optional<std::string> header_of(const httplib::Request& req, const char* name) {
    if (!req.has_header(name)) return std::nullopt;
    return req.get_header_value(name);
}

// The declared body length; nothing when absent or not a plain number.
std::optional<std::size_t> content_length(const httplib::Request& req) {
    const auto text = header_of(req, "Content-Length");
    if (!text) return std::nullopt;
    std::size_t value = 0;
    const auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), value);
    if (ec == std::errc::result_out_of_range) return std::numeric_limits<std::size_t>::max();
    if (ec != std::errc() || end != text->data() + text->size()) return std::nullopt;
    return value;
}

void write_error(httplib::Response& res, const ErrorReply& reply) {
    res.status = reply.status;
    res.set_content(error_body(reply), kJson);
    if (reply.retry_after) res.set_header("Retry-After", *reply.retry_after);
}

ErrorReply too_large(std::size_t limit) {
    return {413, "invalid_request_error", "payload_too_large",
            "The request body is larger than the limit of " + std::to_string(limit) + " bytes"};
}

}  // namespace

struct ProxyServer::Impl {
    Impl(ossara::Veilrelay& c, ProxyConfig cfg) : client(c), config(std::move(cfg)) {}

    ossara::Veilrelay& client;
    const ProxyConfig config;
    std::unique_ptr<ExchangeRunner> runner;
    std::unique_ptr<httplib::Server> server;
    std::thread listener;
    int port = 0;
    bool stopped = false;

    using Clock = std::chrono::steady_clock;

    void log_request(const httplib::Request& req, const httplib::Response& res, Clock::time_point start,
                     std::size_t bytes_in) const {
        if (!config.log) return;
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        config.log->info("request {} {} {} -> {} in {} ms, {} bytes in, {} bytes out",
                         res.get_header_value("X-Request-ID"), req.method, req.path, res.status, ms, bytes_in,
                         res.body.size());
    }

    // What every request must pass before its body is read: a bounded
    // number of headers, the local token when one is set, and a declared
    // body within the limit. Nothing when the request may go on.
    std::optional<ErrorReply> admission(const httplib::Request& req) const {
        if (req.headers.size() > config.max_header_count)
            return ErrorReply{431, "invalid_request_error", "too_many_headers", "The request has too many headers"};
        if (config.local_token) {
            const auto token = bearer_token(req.get_header_value("Authorization"));
            if (!token || !same_secret(*token, *config.local_token))
                return ErrorReply{401, "authentication_error", "invalid_local_token",
                                  "This proxy requires \"Authorization: Bearer <local token>\""};
        }
        if (const auto length = content_length(req); length && *length > config.max_body_bytes)
            return too_large(config.max_body_bytes);
        return std::nullopt;
    }

    httplib::Server::HandlerResponse pre_routing(const httplib::Request& req, httplib::Response& res) {
        const auto start = Clock::now();
        res.set_header("X-Request-ID", request_id_from(header_of(req, "X-Request-ID")));
        const auto refusal = admission(req);
        if (!refusal) return httplib::Server::HandlerResponse::Unhandled;
        write_error(res, *refusal);
        // The body (if any) stays unread: the connection cannot carry another request.
        res.set_header("Connection", "close");
        log_request(req, res, start, 0);
        return httplib::Server::HandlerResponse::Handled;
    }

    // A client that sends "Expect: 100-continue" learns of a refusal before
    // it sends the body.
    int expect_continue(const httplib::Request& req, httplib::Response& res) {
        const auto refusal = admission(req);
        if (!refusal) return 100;
        write_error(res, *refusal);
        res.set_header("Connection", "close");
        return refusal->status;
    }

    void completions(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& read) {
        const auto start = Clock::now();
        std::string body;
        bool over_limit = false;
        const bool complete = read([&](const char* data, std::size_t size) {
            if (body.size() + size > config.max_body_bytes) {
                over_limit = true;
                return false;
            }
            body.append(data, size);
            return true;
        });
        const std::size_t bytes_in = body.size();
        if (over_limit) {
            write_error(res, too_large(config.max_body_bytes));
            res.set_header("Connection", "close");
        } else if (!complete) {
            write_error(res, invalid_request("The request body could not be read", "invalid_body"));
        } else {
            answer(req, res, body);
        }
        log_request(req, res, start, bytes_in);
    }

    void answer(const httplib::Request& req, httplib::Response& res, std::string_view body) {
        auto parsed = parse_completion_body(body);
        if (auto* refusal = std::get_if<ErrorReply>(&parsed)) return write_error(res, *refusal);
        CompletionRequest& request = std::get<CompletionRequest>(parsed);

        auto tier = choose_tier(config.tier, header_of(req, "X-Security-Tier"));
        if (auto* refusal = std::get_if<ErrorReply>(&tier)) return write_error(res, *refusal);

        std::optional<std::string> api_key = config.router_api_key;
        if (!api_key && !config.local_token) api_key = bearer_token(req.get_header_value("Authorization"));

        ExchangeOutcome outcome =
            runner->run(std::move(request.payload), res.get_header_value("X-Request-ID"), std::move(api_key),
                        std::move(std::get<std::optional<std::string>>(tier)));
        if (!outcome.answer) return write_error(res, map_exchange_failure(outcome.error, outcome.end, outcome.model_server_error));

        res.status = 200;
        if (request.stream) {
            res.set_header("Cache-Control", "no-cache");
            res.set_content(sse_stream(*outcome.answer, request.include_usage), "text/event-stream");
        } else {
            res.set_content(json_text(*outcome.answer), kJson);
        }
    }

    // The router's list (the model server's) with the configured names
    // added; the configured names alone when the router has no list.
    void models(const httplib::Request& req, httplib::Response& res) const {
        const auto start = Clock::now();
        std::optional<std::string> api_key = config.router_api_key;
        if (!api_key && !config.local_token) api_key = bearer_token(req.get_header_value("Authorization"));
        const auto listed =
            config.list_router_models ? fetch_router_models(client, api_key, kModelListTimeout) : std::nullopt;
        res.status = 200;
        res.set_content(json_text(merged_model_list(listed, config.models)), kJson);
        log_request(req, res, start, 0);
    }

    // Errors the server produces itself (unknown path, malformed request):
    // the common error shape instead of an empty or HTML page.
    httplib::Server::HandlerResponse error_page(const httplib::Request& req, httplib::Response& res) const {
        if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;  // one of ours
        const auto start = Clock::now();
        if (res.status == 404)
            write_error(res, {404, "invalid_request_error", "unknown_url",
                              "Unknown request URL: " + req.method + " " + req.path});
        else
            write_error(res, {res.status, "invalid_request_error", std::nullopt, "The request could not be served"});
        log_request(req, res, start, 0);
        return httplib::Server::HandlerResponse::Handled;
    }

    void exception_page(const httplib::Request& req, httplib::Response& res, const std::exception_ptr&) const {
        write_error(res, {500, "internal_error", std::nullopt, "Internal error in the proxy"});
        // The handler that threw wrote no line; the error page leaves ours alone.
        log_request(req, res, Clock::now(), 0);
    }
};

ProxyServer::ProxyServer(ossara::Veilrelay& client, ProxyConfig config)
    : impl_(std::make_unique<Impl>(client, std::move(config))) {}

ProxyServer::~ProxyServer() { stop(); }

void ProxyServer::start() {
    Impl& d = *impl_;
    if (d.server) throw std::logic_error("proxy already started");
    d.runner = std::make_unique<ExchangeRunner>(d.client, d.config.exchange_timeout);
    d.server = ossara::router_protocol::make_http_server(d.config.handler_threads);
    d.server->set_keep_alive_timeout(2);
    d.server->set_payload_max_length(d.config.max_body_bytes);
    d.server->set_pre_routing_handler(
        [&d](const httplib::Request& req, httplib::Response& res) { return d.pre_routing(req, res); });
    d.server->set_expect_100_continue_handler(
        [&d](const httplib::Request& req, httplib::Response& res) { return d.expect_continue(req, res); });
    d.server->Post(kCompletionsPath, [&d](const httplib::Request& req, httplib::Response& res,
                                          const httplib::ContentReader& read) { d.completions(req, res, read); });
    d.server->Get(kModelsPath, [&d](const httplib::Request& req, httplib::Response& res) { d.models(req, res); });
    d.server->set_error_handler(httplib::Server::HandlerWithResponse(
        [&d](const httplib::Request& req, httplib::Response& res) { return d.error_page(req, res); }));
    d.server->set_exception_handler(
        [&d](const httplib::Request& req, httplib::Response& res, std::exception_ptr error) {
            d.exception_page(req, res, error);
        });

    d.port = ossara::router_protocol::listen_in_background(*d.server, d.config.host, d.config.port, d.listener);
    if (d.port <= 0) {
        d.runner.reset();
        d.server.reset();
        throw std::runtime_error("cannot listen on " + ListenAddress{d.config.host, d.config.port}.url(d.config.port));
    }
}

void ProxyServer::stop() {
    Impl& d = *impl_;
    if (!d.server || d.stopped) return;
    d.stopped = true;
    // No new connections; those already accepted are still read, so every
    // request that reached the proxy gets an answer: the ones in flight get
    // the grace period, later ones 503 at once. The listener thread ends
    // when every accepted connection has.
    ossara::router_protocol::stop_accepting(*d.server, d.port);
    d.runner->drain(d.config.shutdown_grace);
    if (d.listener.joinable()) d.listener.join();
    d.runner.reset();
}

int ProxyServer::port() const { return impl_->port; }

std::string ProxyServer::base_url() const {
    return ListenAddress{impl_->config.host, impl_->port}.url(impl_->port) + "/v1";
}

}  // namespace veilrelay_cli
