#include "relay_router.hpp"

#include "event_split.hpp"
#include "payload_summary.hpp"
#include "request_log.hpp"
#include "server_key.hpp"
#include "stream_relay.hpp"
#include "upstream_check.hpp"
#include "upstream_status.hpp"

#include <ossara/Hushvault.hpp>
#include "upstream_calls.hpp"

#include <http_server/async_http_server.hpp>
#include <router_protocol/echo_model.hpp>
#include <router_protocol/key_endpoint.hpp>
#include <router_protocol/package_crypto.hpp>
#include <router_protocol/request_headers.hpp>

#include <asio/use_awaitable.hpp>
#include <spdlog/spdlog.h>

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace veilrelay_router {

namespace {

namespace rp = ossara::router_protocol;
namespace hs = ossara::http_server;
using json = nlohmann::ordered_json;

constexpr std::size_t kMaxPayloadId = 256;
constexpr std::chrono::milliseconds kModelListTimeout{10'000};
// A model server's error body larger than this is not relayed: error
// objects are small, and the refusal's body must stay bounded.
constexpr std::size_t kMaxRelayedErrorBytes = 64 * 1024;

// A failure that ends a request with `status` and {"detail": ...}, plus
// `extra` members and a Retry-After header when set.
struct Refusal {
    int status;
    std::string detail;
    json extra = json::object();
    std::optional<std::string> retry_after{};
};

void answer_detail(hs::HttpResponse& res, int status, const std::string& detail) {
    res.status = status;
    res.set_content(json{{"detail", detail}}.dump(-1, ' ', false, json::error_handler_t::replace),
                    "application/json");
}

void answer_refusal(hs::HttpResponse& res, const Refusal& refusal) {
    json body{{"detail", refusal.detail}};
    for (const auto& [name, value] : refusal.extra.items()) body[name] = value;
    res.status = refusal.status;
    res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
    if (refusal.retry_after) res.set_header("Retry-After", *refusal.retry_after);
}

double unix_time_now() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string_view as_text(std::span<const std::uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::span<std::uint8_t> as_bytes(std::string& text) {
    return {reinterpret_cast<std::uint8_t*>(text.data()), text.size()};
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool valid_payload_id(std::string_view id) {
    return !id.empty() && id.size() <= kMaxPayloadId &&
           std::all_of(id.begin(), id.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x20 && c != 0x7f; });
}

}  // namespace

bool is_loopback_host(const std::string& host) {
    if (host == "localhost") return true;
    in_addr v4{};
    if (::inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    return ::inet_pton(AF_INET6, host.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

bool serves_ops_endpoints(const RelayOptions& options) {
    return options.ops_endpoints || is_loopback_host(options.host);
}

struct RelayRouter::Impl {
    RelayOptions options;
    rp::EvpKey server_key;
    std::string public_pem;
    std::vector<rp::EvpKey> previous_keys;
    // The current key first, then the previous ones: the order packages are tried in.
    std::vector<EVP_PKEY*> opening_keys;
    std::shared_ptr<spdlog::logger> log = router_logger();
    // Declared before the calls: the calls end (and hand their last
    // outcomes to the loops) before the server's loops go.
    std::unique_ptr<hs::AsyncHttpServer> server;
    std::unique_ptr<UpstreamCalls> calls;
    int port = 0;
    Metrics metrics;

    explicit Impl(RelayOptions opts) : options(std::move(opts)) {
        if (options.tls_cert_file.has_value() != options.tls_key_file.has_value())
            throw std::runtime_error("TLS needs both --tls-cert and --tls-key");
        if (!options.tls_cert_file && !options.insecure_http && !is_loopback_host(options.host))
            throw std::runtime_error("plain HTTP is only served on loopback; give --tls-cert and --tls-key, or "
                                     "--insecure-http to serve " + options.host + " without TLS");
        server_key = options.server_key_file ? load_server_key(*options.server_key_file)
                                             : rp::generate_rsa_key(kServerKeyBits);
        public_pem = rp::public_key_pem(server_key.get());
        opening_keys.push_back(server_key.get());
        for (const auto& file : options.previous_server_key_files) {
            previous_keys.push_back(load_server_key(file));
            opening_keys.push_back(previous_keys.back().get());
        }
    }

    // Whether a request for this path and method is served only with an API key.
    static bool needs_api_key(const hs::HttpRequest& req) {
        return (req.path == rp::kCompletionPath && req.method == "POST") ||
               (req.path == "/v1/models" && req.method == "GET");
    }

    // Runs on the head, before a byte of the body is read: a caller without
    // a valid API key is refused at once, and so are bodies larger than the
    // limit (from their Content-Length) or without a length (chunked).
    std::optional<hs::HttpResponse> on_head(const hs::HttpRequest& req) {
        std::optional<Refusal> refusal;
        if (needs_api_key(req)) refusal = api_key_refusal(req);
        if (!refusal && req.method == "POST") {
            // Without a length the body would be read until the peer closes.
            if (req.has_header("Transfer-Encoding") || !req.has_header("Content-Length"))
                refusal = Refusal{400, "Request body needs a Content-Length"};
            else if (hs::body_framing(req).length > options.max_request_bytes)
                refusal = Refusal{400, "Payload too large"};
        }
        if (!refusal) return std::nullopt;
        hs::HttpResponse res;
        answer_detail(res, refusal->status, refusal->detail);
        if (req.path == rp::kCompletionPath) {
            RequestRecord record;
            if (req.has_header("X-Payload-ID")) record.payload_id = req.header("X-Payload-ID");
            record.status = res.status;
            record.answer_bytes = res.body.size();
            log->info(format_request_line(record, std::chrono::steady_clock::now()));
        } else {
            log_other(req, res);
        }
        metrics.record_request(res.status, 0.0, 0, res.body.size());
        return res;
    }

    void log_other(const hs::HttpRequest& req, const hs::HttpResponse& res) const {
        log->info("request {} {} status={} answer_bytes={}", log_safe(req.method, 16), log_safe(req.path), res.status,
                  res.body.size());
    }

    asio::awaitable<hs::HttpResponse> on_request(hs::HttpRequest& req) {
        const auto started = std::chrono::steady_clock::now();
        hs::HttpResponse res;
        if (req.path == rp::kCompletionPath && req.method == "POST") {
            co_await serve_completion(req, res);
        } else if (req.path == "/v1/models" && req.method == "GET") {
            co_await serve_models(res);
        } else {
            serve_small(req, res);
            log_other(req, res);
        }
        // A streamed answer is counted when its head goes out.
        metrics.record_request(res.status, seconds_since(started), req.body.size(), res.body.size());
        co_return res;
    }

    // The key, the operations endpoints (loopback or --ops-endpoints only), or 404.
    void serve_small(const hs::HttpRequest& req, hs::HttpResponse& res) {
        const bool get = req.method == "GET";
        if (get && req.path == rp::kPublicKeyPath) {
            res.set_content(public_pem, "text/plain");
        } else if (get && req.path == "/healthz" && serves_ops_endpoints(options)) {
            res.set_content(metrics.render_health(options.upstream ? options.upstream->base_url : "echo"),
                            "application/json");
        } else if (get && req.path == "/metrics" && serves_ops_endpoints(options)) {
            metrics.set_connections_open(server->open_connections());
            res.set_content(metrics.render_prometheus(), kPrometheusContentType);
        } else {
            answer_detail(res, 404, "Not Found");
        }
    }

    // The answers the server makes itself (malformed heads, deadlines, the
    // connection limit, the body budget, shutdown) are in the log as well,
    // and counted in the figures (see start()).
    // A message may carry an exception's text, which may quote the network.
    void on_notice(const hs::ServerNotice& notice) const {
        const std::string message = log_safe(notice.message, 512);
        if (notice.request)
            log->info("request {} {} status={} ({})", log_safe(notice.request->method, 16),
                      log_safe(notice.request->path), notice.status, message);
        else if (notice.status != 0)
            log->info("connection {} status={} ({})", notice.remote, notice.status, message);
        else
            log->warn("{}", message);
    }

    asio::awaitable<void> serve_completion(const hs::HttpRequest& req, hs::HttpResponse& res) {
        RequestRecord record;
        record.request_bytes = req.body.size();
        try {
            co_await complete(req, res, record);
        } catch (const Refusal& refusal) {
            answer_refusal(res, refusal);
        } catch (const std::exception& e) {
            log->error("request id={}: internal error: {}", log_safe(record.payload_id), log_safe(e.what(), 512));
            answer_detail(res, 500, "Internal router error");
        }
        if (res.stream) co_return;  // a streamed answer's line is written when it ends
        record.status = res.status;
        record.answer_bytes = res.body.size();
        log->info(format_request_line(record, std::chrono::steady_clock::now()));
    }

    // A call to the model server, timed into the metrics.
    asio::awaitable<UpstreamResult> timed(asio::awaitable<UpstreamResult> call) {
        const auto started = std::chrono::steady_clock::now();
        UpstreamResult result = co_await std::move(call);
        metrics.record_upstream(seconds_since(started), result.outcome == UpstreamResult::Outcome::answered &&
                                                            result.http_status < 500);
        co_return result;
    }

    // The model server's model list, plainly: model names are no secret of
    // a conversation. Behind API keys only callers with a key see it (on_head
    // checked the key).
    asio::awaitable<void> serve_models(hs::HttpResponse& res) {
        const auto started = std::chrono::steady_clock::now();
        try {
            if (!options.upstream) throw Refusal{404, "No model list: the built-in echo model answers every model name"};
            const UpstreamResult result = co_await timed(calls->get_models(*options.upstream, kModelListTimeout));
            if (result.outcome != UpstreamResult::Outcome::answered)
                throw Refusal{map_upstream_failure(result, kModelListTimeout, false).status, "Model server did not list its models"};
            if (result.http_status != 200)
                throw Refusal{502, "Model server answered GET /models with HTTP " + std::to_string(result.http_status)};
            const auto list = model_list_of(result.body.text());
            if (!list) throw Refusal{502, "Model server returned no model list"};
            res.status = 200;
            res.set_content(list->dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
        } catch (const Refusal& refusal) {
            answer_refusal(res, refusal);
        }
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
        log->info("models status={} duration_ms={} answer_bytes={}", res.status, ms.count(), res.body.size());
    }

    // The refusal of a request without a valid API key, when keys are required.
    std::optional<Refusal> api_key_refusal(const hs::HttpRequest& req) const {
        if (!options.api_keys) return std::nullopt;
        static constexpr std::string_view kBearer = "Bearer ";
        const std::string authorization = req.header("Authorization");
        if (!std::string_view(authorization).starts_with(kBearer) || authorization.size() == kBearer.size())
            return Refusal{401, "Missing API key"};
        if (!options.api_keys->accepts(std::string_view(authorization).substr(kBearer.size())))
            return Refusal{401, "Invalid API key"};
        return std::nullopt;
    }

    // The API key was checked on the head (on_head).
    asio::awaitable<void> complete(const hs::HttpRequest& req, hs::HttpResponse& res, RequestRecord& record) {
        if (!req.has_header("X-Payload-ID")) throw Refusal{400, "Missing X-Payload-ID header"};
        const std::string payload_id = req.header("X-Payload-ID");
        if (!valid_payload_id(payload_id)) throw Refusal{400, "Invalid X-Payload-ID header"};
        record.payload_id = payload_id;
        if (req.header("Content-Type") != "application/octet-stream")
            throw Refusal{400, "Content-Type must be application/octet-stream"};
        if (!req.has_header("X-Public-Key")) throw Refusal{400, "Missing X-Public-Key header"};
        rp::EvpKey client_key;
        try {
            client_key = rp::load_public_key(rp::percent_decode(req.header("X-Public-Key")));
        } catch (const rp::PackageError& e) {
            throw Refusal{400, std::string("Invalid X-Public-Key header: ") + e.what()};
        }
        // The answer's key is wrapped with RSA-OAEP: refuse other keys before the model server is asked.
        if (EVP_PKEY_get_base_id(client_key.get()) != EVP_PKEY_RSA)
            throw Refusal{400, "Invalid X-Public-Key header: not an RSA public key"};
        std::string tier = "standard";
        if (req.has_header("X-Security-Tier")) {
            tier = req.header("X-Security-Tier");
            if (!rp::is_known_tier(tier))
                throw Refusal{400, "Unknown security tier '" + tier + "' (tiers: standard, high, maximum)"};
        }
        record.tier = tier;

        std::string opened;
        try {
            opened = rp::open_package(req.body, opening_keys);
        } catch (const rp::PackageError& e) {
            throw Refusal{400, std::string("Invalid package: ") + e.what()};
        }
        // The guard copies the plaintext into locked memory and wipes `opened`.
        ossara::secure_bytearray request(as_bytes(opened));
        const std::string_view payload = as_text(request->data());

        const PayloadSummary summary = summarise_payload(payload);
        switch (summary.shape) {
            case PayloadSummary::Shape::not_json: throw Refusal{400, "Payload is not valid JSON"};
            case PayloadSummary::Shape::not_an_object: throw Refusal{400, "Payload must be a JSON object"};
            case PayloadSummary::Shape::too_deep: throw Refusal{400, "Payload is nested too deeply"};
            case PayloadSummary::Shape::object: break;
        }
        if (!summary.model) throw Refusal{400, "Payload has no model"};
        const std::string& model = *summary.model;
        record.model = model;
        if (options.tier_policy && !options.tier_policy->allows(tier, model))
            throw Refusal{403, "Model '" + model + "' is not allowed for the '" + tier + "' tier"};

        const auto sealed = [&](std::string_view plaintext) {
            json package = rp::seal_package(plaintext, client_key.get());
            package["processed_at"] = unix_time_now();
            return package;
        };
        const auto seal = [&](std::string_view answer) {
            res.status = 200;
            res.set_content(sealed(answer).dump(), "application/json");
        };

        const bool streamed = summary.stream_requested && accepts_event_stream(req.header("Accept"));
        const auto stream_context = [&] {
            StreamContext context;
            context.client_key = std::move(client_key);
            context.payload_id = payload_id;
            context.record = record;
            context.log = log;
            if (options.upstream) {
                context.upstream_timeout = options.upstream->timeout;
                context.sent_own_key = options.upstream->api_key.has_value();
                context.max_answer_bytes = options.upstream->max_answer_bytes;
            }
            return context;
        };
        if (!options.upstream && streamed) {
            answer_streamed_whole(res, echo_answer(payload, payload_id), stream_context());
            co_return;
        }
        if (streamed) {
            UpstreamStream upstream = calls->open_stream(*options.upstream, payload);
            const bool ok = co_await upstream.answered() && upstream.status() == 200;
            if (ok && answers_with_events(upstream)) {
                answer_streamed(res, std::move(upstream), stream_context());
                co_return;
            }
            if (!ok) {
                // Before the stream starts, a failure is answered as a plain request's is.
                UpstreamResult result = co_await read_whole(upstream, kMaxRelayedErrorBytes + 1);
                throw upstream_refusal(result, sealed, payload_id);
            }
            // A model server that ignored "stream" answered whole: the answer
            // goes back whole, as a plain package (which a streaming client
            // takes as its only chunk), with no chunk bound to pass.
            UpstreamResult result = co_await read_whole(upstream, options.upstream->max_answer_bytes);
            if (result.outcome != UpstreamResult::Outcome::answered) throw upstream_refusal(result, sealed, payload_id);
            ossara::secure_bytearray answer(result.body.bytes());
            const std::string_view text = as_text(answer->data());
            if (read_event(text).kind == EventFacts::Kind::malformed)
                throw Refusal{502, "Model server returned an invalid answer"};
            seal(text);
            co_return;
        }

        if (!options.upstream) {
            std::string answer = echo_answer(payload, payload_id);
            ossara::secure_bytearray protected_answer(as_bytes(answer));
            seal(as_text(protected_answer.get().data()));
            co_return;
        }

        std::optional<ossara::secure_bytearray> rewritten;
        std::string_view upstream_body = payload;
        if (summary.stream_requested) {
            // The router answers in one piece: the upstream is asked for that too.
            std::string text = with_stream_off(payload);
            rewritten.emplace(as_bytes(text));
            upstream_body = as_text(rewritten->get().data());
        }
        UpstreamResult result = co_await timed(calls->post_chat_completion(*options.upstream, upstream_body));
        if (result.outcome != UpstreamResult::Outcome::answered || result.http_status != 200)
            throw upstream_refusal(result, sealed, payload_id);
        ossara::secure_bytearray answer(result.body.bytes());
        if (summarise_payload(as_text(answer->data())).shape != PayloadSummary::Shape::object)
            throw Refusal{502, "Model server returned an invalid answer"};
        seal(as_text(answer->data()));
    }

    // The refusal for a model server that did not answer 200.
    template <typename Seal>
    Refusal upstream_refusal(UpstreamResult& result, const Seal& sealed, const std::string& payload_id) const {
        const RouterAnswer answer =
            map_upstream_failure(result, options.upstream->timeout, options.upstream->api_key.has_value());
        if (result.outcome != UpstreamResult::Outcome::answered)
            log->warn("request id={}: model server call failed: {}", log_safe(payload_id), log_safe(result.error, 512));
        Refusal refusal{answer.status, answer.detail};
        if (answer.upstream_status) refusal.extra["upstream_status"] = *answer.upstream_status;
        if (answer.relays_body && result.retry_after) {
            refusal.retry_after = result.retry_after;
            refusal.extra["retry_after"] = *result.retry_after;
        }
        // The model server's error object may quote the request: it travels
        // sealed for the caller, like an answer, never in clear.
        if (answer.relays_body && result.body.size() <= kMaxRelayedErrorBytes) {
            ossara::secure_bytearray error(result.body.bytes());
            const std::string_view text = as_text(error->data());
            if (summarise_payload(text).shape == PayloadSummary::Shape::object)
                refusal.extra["model_server_error"] = sealed(text);
        }
        return refusal;
    }

    static std::string echo_answer(std::string_view payload, const std::string& payload_id) {
        json request = json::parse(payload);
        try {
            return rp::echo_completion(request, payload_id).dump();
        } catch (const rp::PackageError& e) {
            throw Refusal{400, std::string("Invalid request: ") + e.what()};
        }
    }

    static std::string with_stream_off(std::string_view payload) {
        json request = json::parse(payload);
        request["stream"] = false;
        return request.dump(-1, ' ', false, json::error_handler_t::strict);
    }
};

RelayRouter::RelayRouter(RelayOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

RelayRouter::~RelayRouter() { stop(); }

void RelayRouter::start() {
    Impl& d = *impl_;
    if (d.server) throw std::logic_error("router already started");
    hs::ServerOptions server;
    server.threads = static_cast<std::size_t>(std::max(0, d.options.worker_threads));
    if (d.options.tls_cert_file) {
        server.cert_file = d.options.tls_cert_file->string();
        server.key_file = d.options.tls_key_file->string();
    }
    server.limits = d.options.limits;
    server.limits.max_body_bytes = d.options.max_request_bytes;
    server.handlers.on_head = [&d](const hs::HttpRequest& req) { return d.on_head(req); };
    server.handlers.on_request = [&d](hs::HttpRequest& req) { return d.on_request(req); };
    server.handlers.error_page = [](int status, const std::string& message) {
        hs::HttpResponse res;
        answer_detail(res, status, message);
        return res;
    };
    server.handlers.on_notice = [&d](const hs::ServerNotice& notice) {
        if (notice.status != 0) d.metrics.record_request(notice.status, 0.0, 0, 0);
        d.on_notice(notice);
    };
    d.server = std::make_unique<hs::AsyncHttpServer>(std::move(server));
    d.calls = std::make_unique<UpstreamCalls>();
    try {
        d.port = d.server->listen(d.options.host, d.options.port);
    } catch (const std::runtime_error&) {
        d.calls.reset();
        d.server.reset();
        throw std::runtime_error("cannot listen on " + d.options.host + ":" + std::to_string(d.options.port));
    }
}

void RelayRouter::stop() { stop(impl_->options.grace); }

void RelayRouter::stop(std::chrono::milliseconds grace) {
    Impl& d = *impl_;
    if (!d.server) return;
    d.server->stop(grace);
    d.calls.reset();
    d.server.reset();
}

std::string RelayRouter::base_url() const {
    const std::string& host = impl_->options.host;
    const std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return std::string(impl_->options.tls_cert_file ? "https" : "http") + "://" + shown + ":" +
           std::to_string(impl_->port);
}

int RelayRouter::port() const { return impl_->port; }

const std::string& RelayRouter::public_key_pem() const { return impl_->public_pem; }

std::chrono::milliseconds RelayRouter::grace() const { return impl_->options.grace; }

std::size_t RelayRouter::open_connections() const { return impl_->server ? impl_->server->open_connections() : 0; }

Metrics& RelayRouter::metrics() { return impl_->metrics; }

std::vector<std::string> RelayRouter::previous_public_key_pems() const {
    std::vector<std::string> pems;
    for (const auto& key : impl_->previous_keys) pems.push_back(rp::public_key_pem(key.get()));
    return pems;
}

}  // namespace veilrelay_router
