// The proxy in-process, in front of the development router: answers,
// streams, every router failure as its status, the local token, the body
// limit, deadlines, a graceful stop and many requests in flight at once.
#include "proxy_fixture.hpp"

#if defined(OSSARA_HAVE_RELAY_ROUTER)
#include "relay_router.hpp"
#endif
#include "support/eventually.hpp"
#include "support/fake_upstream.hpp"
#include "support/log_capture.hpp"
#include "support/process_probe.hpp"

#include "devrouter/loopback_socket.hpp"

#include <gtest/gtest.h>

#include <future>
#include <thread>

namespace veilrelay_cli::testing {
namespace {

using namespace std::chrono_literals;
using ossara::devrouter::CompletionBehaviour;
using Kind = CompletionBehaviour::Kind;
using nlohmann::json;
using ossara::testing::eventually;

class ProxyServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        previous_warning_handler_ = ossara::set_warning_handler([](auto, auto, const auto&) {});
    }
    void TearDown() override {
        proxy_.reset();
        client_.reset();
        router_.reset();
        ossara::set_warning_handler(previous_warning_handler_);
    }

    // A router with `behaviour` and a started proxy in front of it.
    void serve(CompletionBehaviour behaviour = {}, ProxyConfig config = {}, int router_workers = 16,
               std::optional<std::string> router_api_key = std::nullopt) {
        router_ = start_router(std::move(behaviour), router_workers, std::move(router_api_key));
        client_ = client_for(router_->base_url());
        if (config.models.empty()) config.models = {"echo", "echo-large"};
        proxy_ = std::make_unique<ProxyServer>(*client_, std::move(config));
        proxy_->start();
    }

    httplib::Result post(const std::string& body, httplib::Headers headers = {}) {
        auto client = http_client(proxy_->port());
        return client.Post("/v1/chat/completions", headers, body, "application/json");
    }

    std::unique_ptr<ossara::devrouter::Router> router_;
    std::unique_ptr<ossara::Veilrelay> client_;
    std::unique_ptr<ProxyServer> proxy_;
    ossara::WarningHandler previous_warning_handler_;
};

TEST_F(ProxyServerTest, AnswersWithTheDecryptedObjectAndOneLogLineWithoutContent) {
    auto sink = std::make_shared<ossara::testing::RecordingSink>();
    ProxyConfig config;
    config.log = std::make_shared<spdlog::logger>("proxy-test", sink);
    serve({}, std::move(config));
    EXPECT_EQ(proxy_->base_url(), "http://127.0.0.1:" + std::to_string(proxy_->port()) + "/v1");

    const auto r = post(chat_body("the marker 7d1e"), {{"X-Request-ID", "req-1"}, {"Authorization", "Bearer user-key"}});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_EQ(r->get_header_value("Content-Type"), "application/json");
    EXPECT_EQ(r->get_header_value("X-Request-ID"), "req-1");
    const json answer = json::parse(r->body);
    EXPECT_EQ(answer["choices"][0]["message"]["content"], "the marker 7d1e");
    EXPECT_EQ(answer["_metadata"]["payload_id"], "req-1");

    // What reached the router: the id, the caller's key, and only ciphertext.
    const auto seen = router_->requests();
    ASSERT_EQ(seen.size(), 2u);  // key, completion
    const auto& completion = seen[1];
    EXPECT_EQ(completion.header("X-Payload-ID"), "req-1");
    EXPECT_EQ(completion.header("Authorization"), "Bearer user-key");
    EXPECT_FALSE(completion.header("X-Security-Tier"));
    EXPECT_EQ(completion.body.find("7d1e"), std::string::npos);
    EXPECT_EQ(completion.decrypted, R"({"model": "echo", "messages": [{"role": "user", "content": "the marker 7d1e"}]})");

    const auto lines = sink->records();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].text.find("req-1"), std::string::npos) << lines[0].text;
    EXPECT_NE(lines[0].text.find("200"), std::string::npos) << lines[0].text;
    EXPECT_EQ(lines[0].text.find("7d1e"), std::string::npos) << lines[0].text;
    EXPECT_EQ(lines[0].text.find("user-key"), std::string::npos) << lines[0].text;
}

TEST_F(ProxyServerTest, StreamsTheAnswerAsEventsAndPassesTheTier) {
    serve();
    const auto r = post(chat_body("one two", R"("stream": true)"), {{"X-Security-Tier", "high"}});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_EQ(r->get_header_value("Content-Type"), "text/event-stream");
    // The development router streams the echo one word per chunk; each is its own event.
    const auto first = r->body.find(R"("content":"one ")");
    const auto second = r->body.find(R"("content":"two")");
    EXPECT_NE(first, std::string::npos) << r->body;
    EXPECT_NE(second, std::string::npos) << r->body;
    EXPECT_LT(first, second);
    EXPECT_TRUE(r->body.ends_with("data: [DONE]\n\n"));
    // The router was asked for a stream, inside the encrypted payload.
    const auto seen = router_->requests();
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back().header("X-Security-Tier"), "high");
    EXPECT_EQ(seen.back().header("Accept"), "text/event-stream");
    ASSERT_TRUE(seen.back().decrypted);
    EXPECT_NE(seen.back().decrypted->find(R"("stream": true)"), std::string::npos) << *seen.back().decrypted;
}

struct FailureRow {
    const char* what;
    CompletionBehaviour behaviour;
    int status;
    const char* type;
};

TEST_F(ProxyServerTest, EveryRouterFailureArrivesAsItsStatusInTheErrorShape) {
    serve();
    const FailureRow rows[] = {
        {"401", CompletionBehaviour::answer(401, R"({"detail": "bad key"})"), 401, "authentication_error"},
        {"403", CompletionBehaviour::answer(403, R"({"detail": "tier"})"), 403, "forbidden_error"},
        {"429", CompletionBehaviour::answer(429, R"({"detail": "slow down"})"), 429, "rate_limit_error"},
        {"400", CompletionBehaviour::answer(400, R"({"detail": "no"})"), 400, "invalid_request_error"},
        {"500 html", CompletionBehaviour::answer(500, "<html>oops</html>", "text/html"), 500, "server_error"},
        {"503", CompletionBehaviour::answer(503, "{}"), 503, "service_unavailable_error"},
        {"502", CompletionBehaviour::answer(502, R"({"detail": "gateway"})"), 502, "api_error"},
        {"404", CompletionBehaviour::answer(404, "{}"), 404, "api_error"},
        {"204", CompletionBehaviour::answer(204, ""), 502, "api_error"},
        {"not a package", CompletionBehaviour::of(Kind::not_a_package), 502, "api_connection_error"},
        {"tampered", CompletionBehaviour::of(Kind::tampered_tag), 502, "security_error"},
        {"reset", CompletionBehaviour::of(Kind::reset_mid_answer), 502, "api_connection_error"},
    };
    for (const auto& row : rows) {
        router_->set_completion_behaviour(row.behaviour);
        const auto r = post(chat_body("x"));
        ASSERT_TRUE(r) << row.what;
        EXPECT_EQ(r->status, row.status) << row.what;
        EXPECT_EQ(r->get_header_value("Content-Type"), "application/json") << row.what;
        const json body = error_of(r);
        ASSERT_TRUE(body.is_object()) << row.what << ": " << r->body;
        EXPECT_EQ(body["error"]["type"], row.type) << row.what;
        EXPECT_TRUE(body["error"]["message"].is_string()) << row.what;
        EXPECT_TRUE(body["error"].contains("param")) << row.what;
        EXPECT_TRUE(body["error"].contains("code")) << row.what;
    }
    // A router that cannot be reached at all: a connection error, not an
    // encryption failure, though the library meets it while encrypting.
    router_->stop();
    const auto r = post(chat_body("x"));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 502);
    EXPECT_EQ(error_of(r)["error"]["type"], "api_connection_error") << r->body;
    EXPECT_TRUE(error_of(r)["error"]["message"].get<std::string>().starts_with("Failed to connect to server: "))
        << r->body;
}

TEST_F(ProxyServerTest, LocalInputIsRefusedBeforeAnyRouterTraffic) {
    serve();
    struct Row {
        std::string body;
        httplib::Headers headers;
        int status;
    };
    const Row rows[] = {
        {"", {}, 400},
        {"[1]", {}, 400},
        {"{}", {}, 400},
        {R"({"stream": true})", {}, 400},
        {chat_body("x"), {{"X-Security-Tier", "Maximum"}}, 400},
    };
    for (const auto& row : rows) {
        const auto r = post(row.body, row.headers);
        ASSERT_TRUE(r) << row.body;
        EXPECT_EQ(r->status, row.status) << row.body;
        EXPECT_EQ(error_of(r)["error"]["type"], "invalid_request_error") << row.body;
    }
    EXPECT_TRUE(router_->requests().empty());

    auto client = http_client(proxy_->port());
    const auto unknown = client.Get("/v1/engines");
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->status, 404);
    EXPECT_EQ(error_of(unknown)["error"]["code"], "unknown_url");
    const auto models = client.Get("/v1/models");
    ASSERT_TRUE(models);
    EXPECT_EQ(json::parse(models->body),
              json::parse(R"({"object": "list", "data": [
                  {"id": "echo", "object": "model", "created": 0, "owned_by": "veilrelay"},
                  {"id": "echo-large", "object": "model", "created": 0, "owned_by": "veilrelay"}]})"));
}

TEST_F(ProxyServerTest, WithALocalTokenCallersMustProveItAndTheRouterKeyComesOnlyFromTheFile) {
    ProxyConfig config;
    config.local_token = "local-secret";
    config.router_api_key = "router-key";
    serve({}, std::move(config), 16, "router-key");

    for (const char* auth : {"", "Bearer wrong", "Bearer local-secret2", "Basic local-secret"}) {
        httplib::Headers headers;
        if (*auth) headers.emplace("Authorization", auth);
        const auto r = post(chat_body("x"), headers);
        ASSERT_TRUE(r) << auth;
        EXPECT_EQ(r->status, 401) << auth;
        EXPECT_EQ(error_of(r)["error"]["code"], "invalid_local_token") << auth;
    }
    auto client = http_client(proxy_->port());
    const auto models = client.Get("/v1/models");
    ASSERT_TRUE(models);
    EXPECT_EQ(models->status, 401);
    EXPECT_TRUE(router_->requests().empty());

    const auto r = post(chat_body("x"), {{"Authorization", "Bearer local-secret"}});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200) << r->body;
    const auto seen = router_->requests();
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back().header("Authorization"), "Bearer router-key");
}

TEST_F(ProxyServerTest, WithALocalTokenAndNoKeyFileTheCallersTokenIsNotPassedOn) {
    ProxyConfig config;
    config.local_token = "local-secret";
    serve({}, std::move(config));
    const auto r = post(chat_body("x"), {{"Authorization", "Bearer local-secret"}});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_FALSE(router_->requests().back().header("Authorization"));
}

// A client connection on a plain socket: sends exactly what a test writes.
class RawConnection {
public:
    explicit RawConnection(int port) : socket_(ossara::devrouter::LoopbackSocket::connect_to(port)) {}

    bool send(const std::string& bytes) { return socket_.valid() && socket_.send_all(bytes); }
    // Whatever comes back until the proxy closes the connection, a whole
    // error answer has arrived, or `limit` passes.
    std::string read(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        std::string answer;
        char buffer[4096];
        while (socket_.valid()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !socket_.wait_readable(static_cast<int>(left.count()))) break;
            const long n = socket_.receive(buffer, sizeof buffer);
            if (n <= 0) break;
            answer.append(buffer, static_cast<std::size_t>(n));
            if (answer.find("\r\n\r\n") != std::string::npos && answer.find("}}") != std::string::npos) break;
        }
        return answer;
    }

private:
    ossara::devrouter::LoopbackSocket socket_;
};

// Writes `head` on a fresh connection and returns what comes back.
std::string raw_exchange(int port, const std::string& head, std::chrono::milliseconds limit) {
    RawConnection connection(port);
    return connection.send(head) ? connection.read(limit) : std::string();
}

TEST_F(ProxyServerTest, BodiesOverTheLimitGet413WithoutBeingRead) {
    ProxyConfig config;
    config.max_body_bytes = 1000;
    serve({}, std::move(config));

    // Only the head is sent: the answer must come without waiting for a body.
    const std::string post_head = "POST /v1/chat/completions HTTP/1.1\r\nHost: 127.0.0.1:" +
                                  std::to_string(proxy_->port()) + "\r\nContent-Type: application/json\r\n";
    const auto declared = raw_exchange(proxy_->port(), post_head + "Content-Length: 100000000\r\n\r\n", 5s);
    EXPECT_TRUE(declared.starts_with("HTTP/1.1 413")) << declared;
    EXPECT_NE(declared.find("payload_too_large"), std::string::npos) << declared;
    const auto expect = raw_exchange(
        proxy_->port(), post_head + "Expect: 100-continue\r\nContent-Length: 100000000\r\n\r\n", 5s);
    EXPECT_TRUE(expect.starts_with("HTTP/1.1 413")) << expect;

    // A chunked body has no declared length: reading stops at the limit.
    const std::string chunk(600, ' ');
    std::string chunked = post_head + "Transfer-Encoding: chunked\r\n\r\n";
    for (int i = 0; i < 3; ++i) chunked += "258\r\n" + chunk + "\r\n";
    chunked += "0\r\n\r\n";
    const auto streamed = raw_exchange(proxy_->port(), chunked, 5s);
    EXPECT_TRUE(streamed.starts_with("HTTP/1.1 413")) << streamed;

    const auto fits = post("{\"model\": \"echo\", \"messages\": [{\"role\": \"user\", \"content\": \"" +
                           std::string(800, 'a') + "\"}]}");
    ASSERT_TRUE(fits);
    EXPECT_EQ(fits->status, 200);
    EXPECT_EQ(router_->requests().size(), 2u);  // only the request that fits
}

std::size_t completions_seen(const ossara::devrouter::Router& router) {
    const auto seen = router.requests();
    return static_cast<std::size_t>(std::count_if(seen.begin(), seen.end(), [](const auto& r) { return r.method == "POST"; }));
}

// A web page cannot use the proxy: not through DNS rebinding (its own name
// in Host), not with a form or text/plain post (no preflight needed), not
// from an origin the user did not allow. Allowed origins get CORS.
TEST_F(ProxyServerTest, WebPagesAreRefusedAndOnlyAllowedOriginsGetCors) {
    ProxyConfig config;
    config.allowed_hosts = {"chat.lan"};
    config.allowed_origins = {"https://ok.example"};
    serve({}, std::move(config));
    const std::string port = std::to_string(proxy_->port());
    const std::string body = chat_body("x");
    const std::string json = "Content-Type: application/json\r\n";
    const std::string cors = "Access-Control-Allow-Origin: https://ok.example\r\n";
    const struct {
        const char* what;
        std::string method, host, headers;
        int status;
        std::string shows;  // a header line the answer has; without one it has no CORS header
    } rows[] = {
        {"the rebinding page", "POST", "evil.example:" + port, json, 421, ""},
        {"another port", "POST", "127.0.0.1:" + std::to_string(proxy_->port() + 1), json, 421, ""},
        {"a form post", "POST", "127.0.0.1:" + port, "Content-Type: application/x-www-form-urlencoded\r\n", 415, ""},
        {"a text/plain post", "POST", "127.0.0.1:" + port, "Content-Type: text/plain\r\n", 415, ""},
        {"another origin", "POST", "127.0.0.1:" + port, json + "Origin: https://evil.example\r\n", 403, ""},
        {"another origin's preflight", "OPTIONS", "127.0.0.1:" + port,
         "Origin: https://evil.example\r\nAccess-Control-Request-Method: POST\r\n", 403, ""},
        {"an allowed origin's preflight", "OPTIONS", "localhost:" + port,
         "Origin: https://ok.example\r\nAccess-Control-Request-Method: POST\r\n"
         "Access-Control-Request-Headers: authorization, content-type\r\n",
         200, "Access-Control-Allow-Headers: authorization, content-type\r\n"},
        {"an allowed origin", "POST", "localhost:" + port, json + "Origin: https://ok.example\r\n", 200, cors},
        {"an allowed name", "POST", "chat.lan:" + port, "Content-Type: application/json; charset=utf-8\r\n", 200, ""},
        {"an SDK", "POST", "127.0.0.1:" + port, json, 200, ""},
    };
    std::size_t served = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const bool post = row.method == "POST";
        const std::string answer = raw_exchange(
            proxy_->port(),
            row.method + " /v1/chat/completions HTTP/1.1\r\nHost: " + row.host + "\r\n" + row.headers +
                "Connection: close\r\nContent-Length: " + std::to_string(post ? body.size() : 0) + "\r\n\r\n" +
                (post ? body : ""),
            5s);
        EXPECT_TRUE(answer.starts_with("HTTP/1.1 " + std::to_string(row.status))) << answer;
        EXPECT_EQ(answer.find(row.shows.empty() ? cors : row.shows) != std::string::npos, !row.shows.empty()) << answer;
        if (row.status == 200 && post) ++served;
    }
    EXPECT_EQ(completions_seen(*router_), served);
}

// With a local token, a caller without it is answered on the head: the
// declared body is never waited for.
TEST_F(ProxyServerTest, TheLocalTokenIsCheckedBeforeTheBodyIsRead) {
    ProxyConfig config;
    config.local_token = "local-secret";
    serve({}, std::move(config));
    for (const char* authorization : {"", "Authorization: Bearer local-secre\r\n"}) {
        SCOPED_TRACE(authorization);
        const auto started = std::chrono::steady_clock::now();
        const std::string answer = raw_exchange(
            proxy_->port(),
            "POST /v1/chat/completions HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(proxy_->port()) +
                "\r\nContent-Type: application/json\r\n" + authorization + "Content-Length: 5000000\r\n\r\n",
            5s);
        EXPECT_TRUE(answer.starts_with("HTTP/1.1 401")) << answer;
        EXPECT_NE(answer.find("invalid_local_token"), std::string::npos) << answer;
        EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
    }
    EXPECT_EQ(completions_seen(*router_), 0u);
}

TEST_F(ProxyServerTest, ARouterThatDoesNotAnswerInTimeGives504) {
    ProxyConfig config;
    config.exchange_timeout = 300ms;
    serve(CompletionBehaviour::of(Kind::stall), std::move(config));
    const auto start = std::chrono::steady_clock::now();
    const auto r = post(chat_body("x"));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 504);
    EXPECT_EQ(error_of(r)["error"]["code"], "router_timeout");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST_F(ProxyServerTest, StopLetsRequestsInFlightFinish) {
    CompletionBehaviour slow;
    slow.delay = 700ms;
    serve(slow);
    auto pending = std::async(std::launch::async, [this] { return post(chat_body("late")); });
    ASSERT_TRUE(eventually([this] { return completions_seen(*router_) == 1; }));
    proxy_->stop();
    const auto r = pending.get();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_EQ(json::parse(r->body)["choices"][0]["message"]["content"], "late");
    // No longer accepting.
    EXPECT_FALSE(http_client(proxy_->port()).Get("/v1/models"));
}

TEST_F(ProxyServerTest, StopEndsRequestsStillRunningAfterTheGracePeriodWith503) {
    ProxyConfig config;
    config.shutdown_grace = 200ms;
    serve(CompletionBehaviour::of(Kind::stall), std::move(config));
    auto pending = std::async(std::launch::async, [this] { return post(chat_body("never")); });
    ASSERT_TRUE(eventually([this] { return completions_seen(*router_) == 1; }));
    const auto start = std::chrono::steady_clock::now();
    proxy_->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    const auto r = pending.get();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 503);
    EXPECT_EQ(error_of(r)["error"]["code"], "shutting_down");
}

TEST_F(ProxyServerTest, OneLoopThreadServesRequestsSideBySideAndStopCutsThemAll) {
    // One event-loop thread: a stalled exchange does not hold it, so the
    // second request reaches the router too; at stop both get 503, and a
    // connection that never sent a byte is closed.
    ProxyConfig config;
    config.threads = 1;
    config.shutdown_grace = 200ms;
    serve(CompletionBehaviour::of(Kind::stall), std::move(config));
    auto first = std::async(std::launch::async, [this] { return post(chat_body("held")); });
    RawConnection idle(proxy_->port());
    RawConnection second(proxy_->port());
    const std::string body = chat_body("second");
    ASSERT_TRUE(second.send("POST /v1/chat/completions HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(proxy_->port()) +
                            "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
                            "\r\n\r\n" + body));
    ASSERT_TRUE(eventually([this] { return completions_seen(*router_) == 2; }));

    proxy_->stop();
    const auto r = first.get();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 503);
    const std::string answer = second.read(5s);
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 503")) << answer;
    EXPECT_NE(answer.find("shutting_down"), std::string::npos) << answer;
    EXPECT_EQ(idle.read(5s), "");
}

#if defined(OSSARA_HAVE_RELAY_ROUTER)
// The real chain in-process: the proxy, veilrelay-router and a fake model server.
class ProxyChainTest : public ProxyServerTest {
protected:
    void serve_chain(std::optional<std::string> upstream_key = std::nullopt, ProxyConfig config = {}) {
        const auto key_file = dir_.path() / "server.pem";
        std::ofstream(key_file) << vector_text("server_private_key_pem");
        veilrelay_router::RelayOptions options;
        options.port = 0;
        options.server_key_file = key_file;
        veilrelay_router::UpstreamSettings upstream;
        upstream.base_url = upstream_.base_url();
        upstream.api_key = std::move(upstream_key);
        upstream.timeout = 5s;
        options.upstream = std::move(upstream);
        relay_ = std::make_unique<veilrelay_router::RelayRouter>(std::move(options));
        relay_->start();
        client_ = client_for(relay_->base_url());
        proxy_ = std::make_unique<ProxyServer>(*client_, std::move(config));
        proxy_->start();
    }
    void TearDown() override {
        proxy_.reset();
        relay_.reset();
        ProxyServerTest::TearDown();
    }

    TempDir dir_;
    ossara::testing::FakeUpstream upstream_;
    std::unique_ptr<veilrelay_router::RelayRouter> relay_;
};

std::string openai_error(const std::string& message, const std::string& type, const char* param, const char* code) {
    nlohmann::ordered_json error;
    error["message"] = message;
    error["type"] = type;
    error["param"] = param ? nlohmann::ordered_json(param) : nlohmann::ordered_json(nullptr);
    error["code"] = code ? nlohmann::ordered_json(code) : nlohmann::ordered_json(nullptr);
    return nlohmann::ordered_json{{"error", error}}.dump();
}

struct ChainRow {
    const char* what;
    int upstream_status;
    std::string upstream_body;
    std::optional<std::string> upstream_retry_after;
    int status;                // what the proxy's client sees
    std::string error_body;    // its "error" object; empty: the model server's, unchanged
    std::optional<std::string> retry_after;
};

TEST_F(ProxyChainTest, ModelServerErrorsReachTheClientWithTheirStatusObjectAndRetryAfter) {
    const auto own = [](const char* type, const std::string& message) {
        return nlohmann::ordered_json{{"message", message}, {"type", type}, {"param", nullptr}, {"code", nullptr}}.dump();
    };
    const ChainRow rows[] = {
        {"400", 400, openai_error("temperature too high", "invalid_request_error", "temperature", "invalid_value"),
         std::nullopt, 400, "", std::nullopt},
        {"401", 401, openai_error("bad key", "invalid_request_error", nullptr, "invalid_api_key"), std::nullopt, 502,
         own("api_error", "Unexpected status code: 502 Model server refused the router's credentials (HTTP 401)"),
         std::nullopt},
        {"403", 403, openai_error("not for you", "permission_error", nullptr, "forbidden"), std::nullopt, 403, "",
         std::nullopt},
        {"404", 404, openai_error("The model 'm9' does not exist", "invalid_request_error", "model", "model_not_found"),
         std::nullopt, 404, "", std::nullopt},
        {"409", 409, openai_error("busy", "conflict_error", nullptr, "conflict"), std::nullopt, 409, "", std::nullopt},
        {"413", 413, openai_error("too long", "invalid_request_error", "messages", "context_length_exceeded"),
         std::nullopt, 413, "", std::nullopt},
        {"422 without an error object", 422, R"({"detail": "messages: field required"})", std::nullopt, 422,
         own("invalid_request_error", "Bad request: messages: field required"), std::nullopt},
        {"429", 429, openai_error("slow down", "requests", nullptr, "rate_limit_exceeded"), "14", 429, "", "14"},
        {"500", 500, openai_error("oops", "server_error", nullptr, nullptr), std::nullopt, 500, "", std::nullopt},
        {"503", 503, openai_error("overloaded", "server_error", nullptr, "overloaded"), "7", 503, "", "7"},
        {"502", 502, "bad gateway", std::nullopt, 502,
         own("api_error", "Unexpected status code: 502 Model server error (HTTP 502): bad gateway"), std::nullopt},
    };
    serve_chain();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ossara::testing::UpstreamReply reply{row.upstream_status, row.upstream_body};
        if (row.upstream_retry_after) reply.headers = {{"Retry-After", *row.upstream_retry_after}};
        upstream_.reply_with(reply);
        const auto r = post(chat_body("x"));
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, row.status);
        const json body = error_of(r);
        ASSERT_TRUE(body.is_object()) << r->body;
        const json expected = row.error_body.empty() ? json::parse(row.upstream_body)["error"] : json::parse(row.error_body);
        EXPECT_EQ(body["error"], expected) << r->body;
        if (row.retry_after) EXPECT_EQ(r->get_header_value("Retry-After"), *row.retry_after);
        else EXPECT_FALSE(r->has_header("Retry-After"));
    }

    // To the router's own key a 403 is the router's to mend.
    proxy_.reset();
    relay_.reset();
    serve_chain("sk-router");
    upstream_.reply_with({403, openai_error("not for you", "permission_error", nullptr, "forbidden")});
    const auto r = post(chat_body("x"));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 502);
    EXPECT_EQ(error_of(r)["error"]["type"], "api_error");
}

TEST_F(ProxyChainTest, ModelsListsTheModelServersModelsThenTheConfiguredNames) {
    ProxyConfig config;
    config.models = {"m2", "local-alias"};
    serve_chain(std::nullopt, std::move(config));
    auto client = http_client(proxy_->port());
    const auto ids = [&] {
        const auto r = client.Get("/v1/models");
        std::vector<std::string> names;
        if (!r || r->status != 200) return names;
        const json list = json::parse(r->body);
        for (const auto& entry : list["data"]) names.push_back(entry["id"]);
        return names;
    };
    EXPECT_EQ(ids(), (std::vector<std::string>{"m1", "m2", "local-alias"}));
    // Without the router's list the configured names still answer.
    upstream_.models_reply_with({500, "{}"});
    EXPECT_EQ(ids(), (std::vector<std::string>{"m2", "local-alias"}));
}
// "stream": true through the whole chain: the model server's chunks reach the
// caller one event each, in order, with the same content; a model server
// that answers whole becomes the events of that one answer.
TEST_F(ProxyChainTest, StreamedAnswersArriveChunkByChunk) {
    serve_chain();
    const auto chunk = [](const std::string& text, const char* finish) {
        json c{{"id", "c1"}, {"object", "chat.completion.chunk"}, {"created", 1}, {"model", "m1"}};
        c["choices"] = json::array({json{{"index", 0}, {"delta", {{"content", text}}},
                                         {"finish_reason", finish ? json(finish) : json(nullptr)}}});
        return c;
    };
    std::vector<json> sent;
    std::string events;
    for (const char* word : {"Hello", " there", " friend"}) {
        sent.push_back(chunk(word, nullptr));
        events += "data: " + sent.back().dump() + "\n\n";
    }
    sent.push_back(chunk("", "stop"));
    events += "data: " + sent.back().dump() + "\n\n: keep-alive comment\n\ndata: [DONE]\n\n";
    struct Row {
        const char* what;
        ossara::testing::UpstreamReply reply;
        std::vector<std::string> contents;  // of the data events before [DONE]
    };
    const std::vector<Row> rows = {
        {"streaming model server", {200, events, "text/event-stream"}, {}},
        {"whole answer", {200, ossara::testing::FakeUpstream::completion("all at once", "m1")}, {"all at once"}},
    };
    for (const Row& row : rows) {
        upstream_.reply_with(row.reply);
        const auto r = post(R"({"model":"m1","stream":true,"messages":[{"role":"user","content":"hi"}]})");
        ASSERT_TRUE(r) << row.what;
        EXPECT_EQ(r->status, 200) << row.what;
        EXPECT_EQ(r->get_header_value("Content-Type"), "text/event-stream") << row.what;
        std::vector<json> got;
        std::size_t at = 0;
        for (std::size_t end; (end = r->body.find("\n\n", at)) != std::string::npos; at = end + 2)
            got.push_back(r->body.substr(at + 6, end - at - 6) == "[DONE]" ? json("[DONE]")
                                                                          : json::parse(r->body.substr(at + 6, end - at - 6)));
        ASSERT_FALSE(got.empty()) << row.what;
        EXPECT_EQ(got.back(), "[DONE]") << row.what;
        if (row.contents.empty()) {
            got.pop_back();
            EXPECT_EQ(got, sent) << row.what;
            // The model server was asked for a stream.
            EXPECT_EQ(json::parse(upstream_.requests().back().body)["stream"], true);
        } else {
            EXPECT_EQ(got[0]["choices"][0]["delta"]["content"], row.contents[0]) << row.what;
        }
    }
}

// The data of each event of a streamed answer, JSON parsed ("[DONE]" as a string).
std::vector<json> events_in(const std::string& body) {
    std::vector<json> got;
    std::size_t at = 0;
    for (std::size_t end; (end = body.find("\n\n", at)) != std::string::npos; at = end + 2) {
        const std::string data = body.substr(at + 6, end - at - 6);
        got.push_back(data == "[DONE]" ? json("[DONE]") : json::parse(data));
    }
    return got;
}

// A stream that fails after its head ends with an error event (the model
// server's own error object when it sent one) and a log line with the
// status, never with a cut connection; a whole answer in the stream is read
// on to the final chunk, whose status decides.
TEST_F(ProxyChainTest, AFailingStreamEndsWithAnErrorEventAfterWhatCameBefore) {
    using ossara::testing::FakeUpstream;
    auto sink = std::make_shared<ossara::testing::RecordingSink>();
    ProxyConfig config;
    config.log = std::make_shared<spdlog::logger>("proxy-test", sink);
    serve_chain(std::nullopt, std::move(config));
    const std::string part = FakeUpstream::chunk(R"({"content":"part"})");
    const json whole = json::parse(FakeUpstream::completion("all of it", "m1"));
    struct Row {
        const char* what;
        std::vector<std::string> data;
        bool cut;
        std::size_t events_before;  // relayed before the end
        json end;                   // "[DONE]", or what the error event's object must hold
    };
    const std::vector<Row> rows{
        {"object not a string", {part, R"({"object":5,"choices":[]})", "[DONE]"}, false, 1,
         {{"type", "api_error"}, {"code", "invalid_chunk"},
          {"message", "The stream held a malformed chunk: its \"object\" is not a string"}}},
        {"choices not an array", {part, R"({"object":"chat.completion.chunk","choices":{}})"}, false, 1,
         {{"code", "invalid_chunk"}, {"message", "The stream held a malformed chunk: its \"choices\" is not an array"}}},
        {"error object", {part, std::string(R"({"error":)") + FakeUpstream::kMidStreamError + "}"}, false, 1,
         json::parse(FakeUpstream::kMidStreamError)},
        {"cut", {part}, true, 1,
         {{"type", "api_error"}, {"message", "Model server connection broke off mid-stream, before [DONE]"}}},
        {"whole answer, then cut", {whole.dump()}, true, 2,
         {{"message", "Model server connection broke off mid-stream, before [DONE]"}}},
        {"whole answer, then [DONE]", {whole.dump(), "[DONE]"}, false, 2, "[DONE]"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ossara::testing::UpstreamReply reply{200, "", "text/event-stream"};
        reply.pieces = FakeUpstream::events(row.data);
        reply.cut = row.cut;
        upstream_.reply_with(reply);
        const std::size_t lines_before = sink->records().size();
        const auto r = post(R"({"model":"m1","stream":true,"messages":[{"role":"user","content":"hi"}]})");
        ASSERT_TRUE(r) << "the connection was cut";
        EXPECT_EQ(r->status, 200);
        const std::vector<json> got = events_in(r->body);
        ASSERT_EQ(got.size(), row.events_before + 1) << r->body;
        EXPECT_EQ(got.front()["choices"][0]["delta"]["content"], row.events_before == 1 ? "part" : "all of it");
        if (row.end == "[DONE]") {
            EXPECT_EQ(got.back(), "[DONE]");
        } else {
            for (const auto& [name, value] : row.end.items()) EXPECT_EQ(got.back()["error"][name], value) << name;
        }
        ASSERT_TRUE(eventually([&] { return sink->records().size() == lines_before + 1; }));
        EXPECT_NE(sink->records().back().text.find(row.end == "[DONE]" ? "-> 200" : "-> 5"), std::string::npos)
            << sink->records().back().text;
    }
}
#endif  // OSSARA_HAVE_RELAY_ROUTER

constexpr int kRequests = 64;

TEST_F(ProxyServerTest, SixtyFourRequestsToASlowRouterCompleteTogether) {
    // Both ends of every connection are in this process (macOS allows 256 descriptors by default).
    ossara::testing::raise_open_file_limit(4096);
    CompletionBehaviour slow;
    slow.delay = 1s;
    serve(slow, {}, 2 * kRequests + 16);
    // The router is silent for its 1 s delay: under a sanitizer on a busy
    // machine that can pass the one second without progress the other tests
    // allow, which would fail a request for the machine's slowness.
    ossara::detail::ClientTestAccess::set_http_limits(*client_, {std::chrono::milliseconds(10000), std::chrono::seconds(10)});

    // One round: all requests at once; the time until the last answer.
    const auto round = [this] {
        const auto start = std::chrono::steady_clock::now();
        std::vector<std::future<int>> requests;
        for (int i = 0; i < kRequests; ++i)
            requests.push_back(std::async(std::launch::async, [this, i] {
                const auto r = post(chat_body("n" + std::to_string(i)));
                if (!r || r->status != 200) {
                    ADD_FAILURE() << "request " << i << ": " << (r ? std::to_string(r->status) + " " + r->body : "no answer");
                    return 0;
                }
                return json::parse(r->body)["choices"][0]["message"]["content"] == "n" + std::to_string(i) ? 1 : 0;
            }));
        int answered = 0;
        for (auto& r : requests) answered += r.get();
        EXPECT_EQ(answered, kRequests);
        const auto elapsed = std::chrono::steady_clock::now() - start;
        std::printf("%d requests to a router answering after 1 s: %lld ms\n", kRequests,
                    static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()));
        return elapsed;
    };
#ifndef OSSARA_SANITIZED_ALLOCATOR
    constexpr auto kLimit = 3s;
#else
    constexpr auto kLimit = 20s;
#endif
    // Served one after another they would take over a minute. A second round
    // is allowed when the first misses the limit, since on a machine busy
    // with other work the encryption of 64 requests may wait for a core.
    auto elapsed = round();
    if (elapsed >= kLimit) elapsed = std::min(elapsed, round());
    EXPECT_LT(elapsed, kLimit);
}

}  // namespace
}  // namespace veilrelay_cli::testing
