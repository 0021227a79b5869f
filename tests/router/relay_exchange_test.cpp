// veilrelay-router through the real client library: what the model server
// receives, what the client gets back, and how every refusal and upstream
// failure reaches the client as its typed error.
#include "relay_fixture.hpp"

#include "support/log_capture.hpp"
#include "support/recording_relay.hpp"
#include "upstream_check.hpp"
#include "support/test_certs.hpp"

#include <ossara/veilrelay/errors.hpp>

#include <httplib.h>

#include <atomic>
#include <thread>
#include <typeinfo>

namespace ossara::testing {
namespace {

using veilrelay_router::ApiKeys;
using veilrelay_router::RelayOptions;
using veilrelay_router::TierPolicy;

std::vector<std::string> member_names(const json& object) {
    std::vector<std::string> names;
    for (const auto& [name, value] : object.items()) names.push_back(name);
    return names;
}

TEST_F(RelayTest, UpstreamGetsThePayloadUnchangedAndTheClientItsAnswer) {
    start_router([](RelayOptions& o) { o.upstream->api_key = "sk-upstream"; });
    upstream_.reply_with({200, FakeUpstream::completion("from the model", "m1")});
    json payload;
    payload["temperature"] = 0.25;
    payload["model"] = "m1";
    payload["messages"] = json::array({json{{"role", "user"}, {"content", "héllo \"model\""}}});
    payload["max_tokens"] = 7;
    payload["user"] = "u-1";

    Veilrelay c = client();
    const json answer = send(c, payload);

    const auto seen = upstream_.requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].path, "/v1/chat/completions");
    EXPECT_EQ(seen[0].header("Content-Type"), "application/json");
    EXPECT_EQ(seen[0].header("Authorization"), "Bearer sk-upstream");
    const json forwarded = json::parse(seen[0].body);
    EXPECT_EQ(member_names(forwarded), member_names(payload));
    EXPECT_EQ(forwarded, payload);
    EXPECT_EQ(seen[0].body.find("encrypted_aes_key"), std::string::npos) << "the upstream got a package";

    const json expected = json::parse(FakeUpstream::completion("from the model", "m1"));
    for (const auto& [name, value] : expected.items()) EXPECT_EQ(answer[name], value) << name;
    EXPECT_EQ(answer["_metadata"]["payload_id"], "req-1");
    EXPECT_EQ(answer["_metadata"]["is_encrypted"], true);
    EXPECT_TRUE(answer["_metadata"]["processed_at"].is_number_float());
}

TEST_F(RelayTest, StreamingRequestIsForwardedWithStreamFalseInPlace) {
    start_router();
    json payload;
    payload["model"] = "m1";
    payload["stream"] = true;
    payload["messages"] = json::array({json{{"role", "user"}, {"content", "hi"}}});
    Veilrelay c = client();
    send(c, payload);
    const json forwarded = json::parse(upstream_.requests().at(0).body);
    EXPECT_EQ(member_names(forwarded), member_names(payload));
    EXPECT_EQ(forwarded["stream"], false);
    EXPECT_EQ(upstream_.requests().at(0).header("Authorization"), std::nullopt);
}

struct FailureCase {
    const char* name;
    int upstream_status;
    std::string upstream_body;
    const std::type_info& error;
    std::optional<int> client_status;
    std::string message;
    std::optional<int> upstream_status_member = std::nullopt;  // in the details, when the status differs
    bool sealed = false;  // the model server's body travels sealed in the details
};

TEST_F(RelayTest, UpstreamAnswersMapToTheClientsTypedErrors) {
    const std::string openai_error =
        R"({"error": {"message": "slow down", "type": "requests", "param": null, "code": "rate_limit_exceeded"}})";
    const std::vector<FailureCase> cases = {
        {"400", 400, R"({"error": {"message": "temperature too high", "type": "invalid_request_error"}})",
         typeid(InvalidRequestError), 400, "Bad request: temperature too high", std::nullopt, true},
        {"404", 404, R"({"error": {"message": "model 'm1' not found"}})", typeid(APIError), 404,
         "Endpoint not found: model 'm1' not found", std::nullopt, true},
        {"409", 409, R"({"error": {"message": "conflict"}})", typeid(InvalidRequestError), 400,
         "Bad request: conflict", 409, true},
        {"413", 413, R"({"error": {"message": "too long"}})", typeid(InvalidRequestError), 400,
         "Bad request: too long", 413, true},
        {"422", 422, R"({"detail": "messages: field required"})", typeid(InvalidRequestError), 400,
         "Bad request: messages: field required", 422, true},
        {"401", 401, R"({"error": "bad key"})", typeid(APIError), 502,
         "Unexpected status code: 502 Model server refused the router's credentials (HTTP 401)"},
        {"403 without a router key", 403, "forbidden", typeid(ForbiddenError), 403, "Forbidden: forbidden"},
        {"429", 429, openai_error, typeid(RateLimitError), 429, "Rate limit exceeded: slow down", std::nullopt, true},
        {"500", 500, "boom", typeid(ServerError), 500, "Server error: boom"},
        {"503", 503, "", typeid(ServiceUnavailableError), 503, "Service unavailable: HTTP 503"},
        {"502", 502, "bad gateway", typeid(APIError), 502,
         "Unexpected status code: 502 Model server error (HTTP 502): bad gateway"},
        {"200 not JSON", 200, "<html>", typeid(APIError), 502,
         "Unexpected status code: 502 Model server returned an invalid answer"},
        {"200 array", 200, "[1, 2]", typeid(APIError), 502,
         "Unexpected status code: 502 Model server returned an invalid answer"},
        {"302", 302, "", typeid(APIError), 502, "Unexpected status code: 502 Model server answered HTTP 302"},
    };
    start_router();
    Veilrelay c = client();
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        upstream_.reply_with({k.upstream_status, k.upstream_body});
        try {
            send(c, chat("hi"));
            ADD_FAILURE() << "no error";
        } catch (const APIError& e) {
            EXPECT_EQ(typeid(e), k.error) << typeid(e).name();
            EXPECT_EQ(e.status_code, k.client_status);
            EXPECT_EQ(std::string(e.what()), k.message);
            if (!e.error_details) continue;
            const auto& details = *e.error_details;
            if (k.upstream_status_member) {
                EXPECT_EQ(details.value("upstream_status", 0), *k.upstream_status_member);
            }
            ASSERT_EQ(details.contains("model_server_error"), k.sealed) << details.dump();
            if (!k.sealed) continue;
            // Sealed for this client: only its key opens the model server's object, unchanged.
            const std::string sealed_text = details["model_server_error"].dump();
            EXPECT_EQ(sealed_text.find("message"), std::string::npos) << "the error object travelled in clear";
            json opened = run_awaitable(
                c.decrypt_response(std::vector<std::uint8_t>(sealed_text.begin(), sealed_text.end()), "req-1"),
                std::chrono::seconds(10));
            opened.erase("_metadata");
            EXPECT_EQ(opened, json::parse(k.upstream_body));
        }
    }

    // A 403 to the router's own key is the router's to mend; Retry-After
    // survives as a header and in the details.
    start_router([](RelayOptions& o) { o.upstream->api_key = "sk-upstream"; });
    Veilrelay keyed = client();
    upstream_.reply_with({403, openai_error});
    const auto refused = expect_exact_throw<APIError>([&] { send(keyed, chat("hi")); });
    EXPECT_EQ(refused.status_code, 502);
    upstream_.reply_with({429, openai_error, "application/json", {}, 0, {{"Retry-After", "14"}}});
    const auto limited = expect_exact_throw<RateLimitError>([&] { send(keyed, chat("hi")); });
    ASSERT_TRUE(limited.error_details);
    EXPECT_EQ((*limited.error_details)["retry_after"], "14");
    upstream_.reply_with({503, "{}", "application/json", {}, 0, {{"Retry-After", std::string(80, '9')}}});
    const auto unavailable = expect_exact_throw<ServiceUnavailableError>([&] { send(keyed, chat("hi")); });
    ASSERT_TRUE(unavailable.error_details);
    EXPECT_FALSE(unavailable.error_details->contains("retry_after")) << "an unbounded value is dropped";
}

TEST_F(RelayTest, UnreachableAndSlowUpstreamsBecome503And504) {
    std::string closed_url;
    {
        FakeUpstream gone;
        closed_url = gone.base_url();
    }
    start_router([&](RelayOptions& o) { o.upstream->base_url = closed_url; });
    Veilrelay c = client();
    const auto unreachable = expect_exact_throw<ServiceUnavailableError>([&] { send(c, chat("hi")); });
    EXPECT_STREQ(unreachable.what(), "Service unavailable: Model server unreachable");

    start_router([](RelayOptions& o) { o.upstream->timeout = std::chrono::milliseconds(300); });
    upstream_.reply_with({200, FakeUpstream::completion("late", "m1"), "application/json", std::chrono::milliseconds(1500)});
    Veilrelay slow = client();
    const auto timed_out = expect_exact_throw<APIError>([&] { send(slow, chat("hi")); });
    EXPECT_EQ(timed_out.status_code, 504);
    EXPECT_STREQ(timed_out.what(), "Unexpected status code: 504 Model server did not answer within 0.3 seconds");
}

TEST_F(RelayTest, ApiKeysAndTierPolicyRefuseBeforeTheUpstreamIsCalled) {
    start_router([](RelayOptions& o) {
        o.api_keys = ApiKeys::from_text("key-one\n\n  key-two  \n");
        o.tier_policy = TierPolicy::from_json_text(R"({"standard": ["m1"], "high": ["m2", "m1-secure"]})");
    });
    Veilrelay c = client();

    const auto missing = expect_exact_throw<AuthenticationError>([&] { send(c, chat("hi")); });
    EXPECT_STREQ(missing.what(), "Missing API key");
    EXPECT_EQ(missing.status_code, 401);
    const auto wrong = expect_exact_throw<AuthenticationError>([&] { send(c, chat("hi"), "key-on"); });
    EXPECT_STREQ(wrong.what(), "Invalid API key");

    const auto high = expect_exact_throw<ForbiddenError>([&] { send(c, chat("hi", "m1"), "key-one", "high"); });
    EXPECT_STREQ(high.what(), "Forbidden: Model 'm1' is not allowed for the 'high' tier");
    const auto maximum = expect_exact_throw<ForbiddenError>([&] { send(c, chat("hi", "m2"), "key-two", "maximum"); });
    EXPECT_STREQ(maximum.what(), "Forbidden: Model 'm2' is not allowed for the 'maximum' tier");
    const auto standard = expect_exact_throw<ForbiddenError>([&] { send(c, chat("hi", "m2"), "key-two"); });
    EXPECT_STREQ(standard.what(), "Forbidden: Model 'm2' is not allowed for the 'standard' tier");
    EXPECT_EQ(upstream_.request_count(), 0u);

    EXPECT_NO_THROW(send(c, chat("hi", "m1"), "key-two"));
    EXPECT_NO_THROW(send(c, chat("hi", "m2"), "key-one", "high"));
    EXPECT_EQ(upstream_.request_count(), 2u);
}

// Requests the client library never sends, straight over HTTP.
TEST_F(RelayTest, MalformedRequestsGet400WithDetail) {
    start_router();
    httplib::Client raw("127.0.0.1", router_->port());
    const std::string pem = relay_vectors()["client_public_key_pem"].get<std::string>();
    std::string encoded;
    for (const char ch : pem) encoded += ch == '\n' ? std::string("%0A") : std::string(1, ch);
    const auto post = [&](httplib::Headers headers, const std::string& body) {
        const auto r = raw.Post("/v1/chat/secure_completion", headers, body, "application/octet-stream");
        EXPECT_TRUE(r) << "no answer";
        return r ? std::make_pair(r->status, json::parse(r->body).value("detail", "")) : std::make_pair(0, std::string());
    };
    const httplib::Headers good{{"X-Payload-ID", "p"}, {"X-Public-Key", encoded}};

    EXPECT_EQ(post(good, "not a package"), std::make_pair(400, std::string("Invalid package: body is not JSON")));
    EXPECT_EQ(post({{"X-Public-Key", encoded}}, "{}"), std::make_pair(400, std::string("Missing X-Payload-ID header")));
    EXPECT_EQ(post({{"X-Payload-ID", "p"}}, "{}"), std::make_pair(400, std::string("Missing X-Public-Key header")));
    EXPECT_EQ(post({{"X-Payload-ID", std::string(257, 'p')}, {"X-Public-Key", encoded}}, "{}"),
              std::make_pair(400, std::string("Invalid X-Payload-ID header")));
    // A control character is refused by the HTTP layer already.
    EXPECT_EQ(post({{"X-Payload-ID", "p\x01"}, {"X-Public-Key", encoded}}, "{}"),
              std::make_pair(400, std::string("Malformed header value")));
    auto tier = good;
    tier.emplace("X-Security-Tier", "ultra");
    EXPECT_EQ(post(tier, "{}"),
              std::make_pair(400, std::string("Unknown security tier 'ultra' (tiers: standard, high, maximum)")));
    const std::string ec_key =
        "-----BEGIN PUBLIC KEY-----%0AMFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEIry71ukCxN54hxGMWFrXXNaHsfoO%0A"
        "wfWmpmwElLc1aJwhrIFD/dEpUnPmAn0rRYzR6v2BNJ4/W4tg3/1VjWE+/g==%0A-----END PUBLIC KEY-----%0A";
    EXPECT_EQ(post({{"X-Payload-ID", "p"}, {"X-Public-Key", ec_key}}, "{}"),
              std::make_pair(400, std::string("Invalid X-Public-Key header: not an RSA public key")));
    EXPECT_EQ(upstream_.request_count(), 0u);

    // A payload without a model is refused after decryption.
    Veilrelay c = client();
    const auto no_model = expect_exact_throw<InvalidRequestError>(
        [&] { send(c, json{{"messages", json::array({json{{"role", "user"}, {"content", "x"}}})}}); });
    EXPECT_STREQ(no_model.what(), "Bad request: Payload has no model");
}

// The limit is checked on the declared length: the answer comes before the
// body is sent, without waiting for it. A body without a declared length
// (chunked, or until the peer closes) is refused the same way.
TEST_F(RelayTest, OversizedOrUnboundedBodiesAreRefusedBeforeTheyAreRead) {
    start_router();
    const std::string head =
        "POST /v1/chat/secure_completion HTTP/1.1\r\nHost: x\r\nX-Payload-ID: big\r\n"
        "Content-Type: application/octet-stream\r\n";
    const std::string too_large = raw_exchange(
        router_->port(),
        head + "Content-Length: " + std::to_string(veilrelay_router::kDefaultMaxRequestBytes + 1) +
            "\r\n\r\n{\"version\"",
        R"("Payload too large"})");
    EXPECT_TRUE(too_large.starts_with("HTTP/1.1 400")) << too_large;
    EXPECT_NE(too_large.find(R"({"detail":"Payload too large"})"), std::string::npos) << too_large;

    const std::string chunked =
        raw_exchange(router_->port(), head + "Transfer-Encoding: chunked\r\n\r\n", R"(Content-Length"})");
    EXPECT_TRUE(chunked.starts_with("HTTP/1.1 400")) << chunked;
    EXPECT_NE(chunked.find(R"({"detail":"Request body needs a Content-Length"})"), std::string::npos) << chunked;
    EXPECT_EQ(upstream_.request_count(), 0u);

    // A package for the largest payload the client sends still fits.
    EXPECT_GT(veilrelay_router::kDefaultMaxRequestBytes, (Veilrelay::MAX_PAYLOAD_SIZE + 2) / 3 * 4 + 2048);
}

// A caller without a valid key costs neither memory nor time: the head is
// answered 401 at once, the connection closes, and the declared body is
// never waited for (it is not even sent here).
TEST_F(RelayTest, ApiKeysAreCheckedOnTheHeadBeforeAnyOfTheBody) {
    start_router([](RelayOptions& o) { o.api_keys = ApiKeys::from_text("key-one\n"); });
    const std::string post = "POST /v1/chat/secure_completion HTTP/1.1\r\nHost: x\r\nX-Payload-ID: p\r\n"
                             "Content-Type: application/octet-stream\r\nContent-Length: " +
                             std::to_string(veilrelay_router::kDefaultMaxRequestBytes) + "\r\n";
    const struct {
        const char* what;
        std::string head;
        const char* detail;
    } rows[] = {
        {"no key", post + "\r\n", "Missing API key"},
        {"a wrong key", post + "Authorization: Bearer key-two\r\n\r\n", "Invalid API key"},
        {"another scheme", post + "Authorization: Basic key-one\r\n\r\n", "Missing API key"},
        {"the model list", "GET /v1/models HTTP/1.1\r\nHost: x\r\nContent-Length: 1000000\r\n\r\n", "Missing API key"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const auto started = std::chrono::steady_clock::now();
        const std::string answer = raw_exchange(router_->port(), row.head, "\"}");
        const auto waited = std::chrono::steady_clock::now() - started;
        EXPECT_TRUE(answer.starts_with("HTTP/1.1 401")) << answer;
        EXPECT_NE(answer.find(std::string(R"({"detail":")") + row.detail), std::string::npos) << answer;
        EXPECT_NE(answer.find("Connection: close\r\n"), std::string::npos) << answer;
        EXPECT_LT(waited, std::chrono::seconds(1));
    }
    EXPECT_EQ(upstream_.request_count(), 0u);
}

// /healthz and /metrics on a public address only with ops_endpoints, asked
// for over a real connection (the listener takes every address; the test
// speaks to it on loopback).
TEST_F(RelayTest, OpsEndpointsOnAPublicListenerOnlyWhenAskedFor) {
    for (const bool asked : {false, true}) {
        SCOPED_TRACE(asked ? "with ops_endpoints" : "without ops_endpoints");
        start_router([&](RelayOptions& o) {
            o.host = "0.0.0.0";
            o.insecure_http = true;
            o.ops_endpoints = asked;
        });
        httplib::Client http("127.0.0.1", router_->port());
        for (const char* path : {"/healthz", "/metrics"}) {
            const auto r = http.Get(path);
            ASSERT_TRUE(r) << path;
            EXPECT_EQ(r->status, asked ? 200 : 404) << path << ": " << r->body;
            if (!asked) {
                EXPECT_EQ(r->body.find("upstream"), std::string::npos) << path << ": " << r->body;
            }
        }
        const auto key = http.Get("/pki/public_key");
        ASSERT_TRUE(key);
        EXPECT_EQ(key->status, 200);
    }
}

// An https model server is trusted only through --upstream-ca-file (or the
// system's CAs without one): a certificate of another CA ends the call
// before a byte of the payload is sent.
TEST_F(RelayTest, AnUpstreamCertificateTheCaFileDoesNotTrustIsRefused) {
    std::filesystem::create_directory(dir_.path() / "model-tls");
    std::filesystem::create_directory(dir_.path() / "other-tls");
    const TestCertificates model_certs = make_test_certificates(dir_.path() / "model-tls");
    const TestCertificates other_certs = make_test_certificates(dir_.path() / "other-tls");
    httplib::SSLServer model(model_certs.cert_file.c_str(), model_certs.key_file.c_str());
    std::atomic<int> calls{0};
    model.Post("/v1/chat/completions", [&](const httplib::Request&, httplib::Response& res) {
        ++calls;
        res.set_content(FakeUpstream::completion("over tls", "m1"), "application/json");
    });
    const int port = model.bind_to_any_port("127.0.0.1");
    // Bound already: connections wait in its backlog until it accepts.
    std::thread serving([&] { model.listen_after_bind(); });

    const struct {
        const char* what;
        std::optional<std::filesystem::path> ca_file;
        bool trusted;
    } rows[] = {
        {"another CA", other_certs.ca_file, false},
        {"no CA file (the system's CAs)", std::nullopt, false},
        {"the model server's CA", model_certs.ca_file, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        start_router([&](RelayOptions& o) {
            o.upstream->base_url = "https://127.0.0.1:" + std::to_string(port) + "/v1";
            if (row.ca_file) o.upstream->ca_file = row.ca_file->string();
        });
        Veilrelay c = client();
        if (row.trusted) {
            EXPECT_EQ(send(c, chat("hi"))["choices"][0]["message"]["content"], "over tls");
        } else {
            const auto refused = expect_exact_throw<ServiceUnavailableError>([&] { send(c, chat("hi")); });
            EXPECT_STREQ(refused.what(), "Service unavailable: Model server unreachable");
        }
    }
    EXPECT_EQ(calls.load(), 1);
    model.stop();
    serving.join();
}

TEST_F(RelayTest, HttpsWithAPrivateCa) {
    std::filesystem::create_directory(dir_.path() / "tls");
    const TestCertificates certs = make_test_certificates(dir_.path() / "tls");
    start_router([&](RelayOptions& o) {
        o.tls_cert_file = certs.cert_file;
        o.tls_key_file = certs.key_file;
    });
    ASSERT_TRUE(router_->base_url().starts_with("https://"));
    upstream_.reply_with({200, FakeUpstream::completion("over tls", "m1")});
    Veilrelay trusting = client();
    trusting.set_ca_file(certs.ca_file.string());
    EXPECT_EQ(send(trusting, chat("hi"))["choices"][0]["message"]["content"], "over tls");

    Veilrelay untrusting = client();
    // Without the CA the key fetch already fails certificate verification.
    EXPECT_THROW(send(untrusting, chat("hi")), SecurityError);
    EXPECT_EQ(upstream_.request_count(), 1u);
}

TEST_F(RelayTest, TheModelServersListIsServedPlainlyBehindTheApiKeys) {
    start_router([](RelayOptions& o) {
        o.upstream->api_key = "sk-upstream";
        o.api_keys = ApiKeys::from_text("key-one\n");
    });
    httplib::Client http("127.0.0.1", router_->port());
    EXPECT_EQ(http.Get("/v1/models")->status, 401);
    const httplib::Headers with_key{{"Authorization", "Bearer key-one"}};
    auto r = http.Get("/v1/models", with_key);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    const json list = json::parse(r->body);
    EXPECT_EQ(list["object"], "list");
    ASSERT_EQ(list["data"].size(), 2u);
    EXPECT_EQ(list["data"][0]["id"], "m1");

    upstream_.models_reply_with({404, R"({"error": {"message": "no"}})"});
    EXPECT_EQ(http.Get("/v1/models", with_key)->status, 502);
    upstream_.models_reply_with({200, "<html>"});
    EXPECT_EQ(http.Get("/v1/models", with_key)->status, 502);

    start_router([](RelayOptions& o) { o.upstream.reset(); });
    httplib::Client echo("127.0.0.1", router_->port());
    EXPECT_EQ(echo.Get("/v1/models")->status, 404);

    // Every request a worker serves leaves a line, not only completions.
    LogCapture log("veilrelay-router");
    EXPECT_EQ(echo.Get("/pki/public_key")->status, 200);
    EXPECT_EQ(echo.Get("/v2/nothing")->status, 404);
    EXPECT_EQ(echo.Get("/v1/models")->status, 404);
    const auto lines = log.lines();
    const auto logged = [&](const std::string& text) {
        return std::any_of(lines.begin(), lines.end(), [&](const auto& l) { return l.find(text) != std::string::npos; });
    };
    EXPECT_TRUE(logged("request GET /pki/public_key status=200")) << ::testing::PrintToString(lines);
    EXPECT_TRUE(logged("request GET /v2/nothing status=404")) << ::testing::PrintToString(lines);
    EXPECT_TRUE(logged("models status=404")) << ::testing::PrintToString(lines);
}

struct ProbeRow {
    const char* what;
    std::function<std::string(const FakeUpstream&)> url;
    UpstreamReply models;
    bool ok;
    const char* says;
};

TEST_F(RelayTest, TheStartUpProbeSaysPlainlyWhatAnswersAtTheUpstreamUrl) {
    const std::string closed = [] {
        FakeUpstream gone;
        return gone.base_url();
    }();
    const auto base = [](const FakeUpstream& u) { return u.base_url(); };
    const ProbeRow rows[] = {
        {"a model list", base, {200, R"({"object": "list", "data": [{"id": "m1"}]})"}, true, "lists 1 model(s)"},
        {"no /v1", [](const FakeUpstream& u) { return "http://127.0.0.1:" + std::to_string(u.port()); },
         {200, "{}"}, false, "HTTP 404: this is not an OpenAI-compatible server"},
        {"not a list", base, {200, "<html>hello</html>", "text/html"}, false, "something other than a model list"},
        {"credentials", base, {401, "{}"}, false, "refused the router's credentials (HTTP 401)"},
        {"nobody", [&](const FakeUpstream&) { return closed; }, {200, "{}"}, false, "does not answer at"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        upstream_.models_reply_with(row.models);
        veilrelay_router::UpstreamSettings settings;
        settings.base_url = row.url(upstream_);
        const auto report = veilrelay_router::probe_model_server(settings, std::chrono::seconds(5));
        EXPECT_EQ(report.ok, row.ok);
        EXPECT_NE(report.text.find(row.says), std::string::npos) << report.text;
    }
}

TEST_F(RelayTest, PlainHttpIsRefusedOffLoopbackUnlessAskedFor) {
    RelayOptions options;
    options.host = "0.0.0.0";
    options.server_key_file = server_key_;
    EXPECT_THROW(veilrelay_router::RelayRouter{options}, std::runtime_error);
    options.insecure_http = true;
    EXPECT_NO_THROW(veilrelay_router::RelayRouter{options});
    EXPECT_TRUE(veilrelay_router::is_loopback_host("127.0.0.2"));
    EXPECT_TRUE(veilrelay_router::is_loopback_host("::1"));
    EXPECT_FALSE(veilrelay_router::is_loopback_host("::"));
    EXPECT_FALSE(veilrelay_router::is_loopback_host("10.0.0.1"));
}

TEST_F(RelayTest, APeerOnThePathSeesOnlyPackagesAndTheUpstreamOnlyPlaintext) {
    start_router();
    const std::string question = "question-secret-4711";
    const std::string reply = "answer-secret-0815";
    upstream_.reply_with({200, FakeUpstream::completion(reply, "m1")});
    RecordingRelay peer(router_->port());
    Veilrelay c = client(peer.base_url());
    EXPECT_EQ(send(c, chat(question))["choices"][0]["message"]["content"], reply);

    const std::string up = peer.client_to_server();
    const std::string down = peer.server_to_client();
    EXPECT_EQ(up.find(question), std::string::npos);
    EXPECT_EQ(down.find(reply), std::string::npos);
    EXPECT_NE(up.find("\"encrypted_aes_key\""), std::string::npos);
    EXPECT_NE(down.find("\"encrypted_payload\""), std::string::npos);
    EXPECT_EQ(up.find("\"m1\""), std::string::npos) << "the model name crossed in clear";
    EXPECT_NE(upstream_.requests().at(0).body.find(question), std::string::npos);
}

asio::awaitable<std::string> streamed_text(Veilrelay& c, json payload) {
    SecureStream stream = co_await c.open_secure_stream(std::move(payload), "req-1");
    std::string text;
    while (const auto chunk = co_await stream.next())
        if (stream.streamed()) text += chunk->at("choices").at(0).at("delta").value("content", "");
    co_return text;
}

// A buffering reverse proxy would hold the events back until the answer ends;
// the headers of a streamed answer ask it to pass each at once.
TEST_F(RelayTest, StreamedAnswersAskProxiesOnThePathNotToBufferThem) {
    start_router();
    json chunk{{"id", "c1"}, {"object", "chat.completion.chunk"}, {"created", 1}, {"model", "m1"}};
    chunk["choices"] = json::array({json{{"index", 0}, {"delta", {{"content", "at once"}}}, {"finish_reason", "stop"}}});
    upstream_.reply_with({200, "data: " + chunk.dump() + "\n\ndata: [DONE]\n\n", "text/event-stream"});
    RecordingRelay peer(router_->port());
    Veilrelay c = client(peer.base_url());
    json payload = chat("hi");
    payload["stream"] = true;
    EXPECT_EQ(run_awaitable(streamed_text(c, payload), std::chrono::seconds(60)), "at once");

    // The last answer on the connection (the first is the key's).
    const std::string down = peer.server_to_client().substr(peer.server_to_client().rfind("HTTP/1.1 "));
    const std::string head = down.substr(0, down.find("\r\n\r\n") + 2);
    for (const char* line : {"Content-Type: text/event-stream\r\n", "Cache-Control: no-cache\r\n",
                             "X-Accel-Buffering: no\r\n"})
        EXPECT_NE(head.find(line), std::string::npos) << line << head;
}

// The ops endpoints on a loopback router: health with the model server's
// last answer, and the Prometheus figures of what was served.
TEST_F(RelayTest, HealthAndMetricsAreServedOnLoopback) {
    start_router();
    httplib::Client http("127.0.0.1", router_->port());
    auto health = http.Get("/healthz");
    ASSERT_TRUE(health);
    EXPECT_EQ(health->status, 200);
    EXPECT_EQ(health->get_header_value("Content-Type"), "application/json");
    EXPECT_EQ(health->body, R"({"status":"ok","upstream":")" + upstream_.base_url() +
                                R"(","upstream_last_ok_seconds_ago":null})");

    upstream_.reply_with({200, FakeUpstream::completion("counted", "m1")});
    Veilrelay c = client();
    send(c, chat("hi"));
    health = http.Get("/healthz");
    ASSERT_TRUE(health);
    const json seen = json::parse(health->body);
    ASSERT_TRUE(seen["upstream_last_ok_seconds_ago"].is_number()) << health->body;
    EXPECT_LT(seen["upstream_last_ok_seconds_ago"].get<double>(), 10.0);
    // Answers the server makes itself (a malformed head, an unknown version) count too.
    for (const char* refused : {"GET /healthz HTTP/1.1\nHost: x\n\n", "GET /healthz HTTP/1.2\r\nHost: x\r\n\r\n"})
        EXPECT_FALSE(raw_exchange(router_->port(), refused, "\"}").empty()) << refused;

    const auto metrics = http.Get("/metrics");
    ASSERT_TRUE(metrics);
    EXPECT_EQ(metrics->status, 200);
    EXPECT_EQ(metrics->get_header_value("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
    for (const char* line : {R"(veilrelay_router_upstream_requests_total{outcome="ok"} 1)",
                             R"(veilrelay_router_upstream_duration_seconds_count 1)"})
        EXPECT_NE(metrics->body.find(std::string("\n") + line + "\n"), std::string::npos)
            << line << "\n" << metrics->body;
    EXPECT_NE(metrics->body.find(R"(veilrelay_router_requests_total{status="200"} )"), std::string::npos);
    for (const char* status : {"400", "505"})
        EXPECT_NE(metrics->body.find(std::string("\nveilrelay_router_requests_total{status=\"") + status + "\"} 1\n"),
                  std::string::npos)
            << status << "\n" << metrics->body;
    // The gauge is the server's own count: at least this test's connection.
    const auto gauge = metrics->body.find("\nveilrelay_router_connections_open ");
    ASSERT_NE(gauge, std::string::npos) << metrics->body;
    EXPECT_GE(std::stoi(metrics->body.substr(gauge + 35)), 1) << metrics->body;

    // Off loopback only when asked for: a public listener shows no figures by default.
    const std::tuple<const char*, bool, bool> rows[] = {
        {"127.0.0.1", false, true}, {"::1", false, true},     {"localhost", false, true},
        {"0.0.0.0", false, false},  {"192.0.2.7", false, false}, {"0.0.0.0", true, true},
    };
    for (const auto& [host, asked, served] : rows) {
        RelayOptions options;
        options.host = host;
        options.ops_endpoints = asked;
        EXPECT_EQ(veilrelay_router::serves_ops_endpoints(options), served) << host << " " << asked;
    }
}

struct RotationRow {
    const char* what;
    std::vector<int> previous;  // the router's previous keys: 1 and 2 (0 is its current key)
    int sealed_for;
    int status;
};

// During a key rotation packages sealed for a previous key still open, only
// the current key is served, and a package that no key opens gets the same
// refusal as from a router without previous keys.
TEST_F(RelayTest, PreviousServerKeysStillOpenTheirPackages) {
    namespace rp = router_protocol;
    std::string pems[3];
    const auto current = rp::load_private_key(relay_vectors()["server_private_key_pem"].get<std::string>());
    pems[0] = rp::public_key_pem(current.get());
    const std::filesystem::path files[3] = {server_key_, write_small_server_key(dir_.path() / "b.pem", pems[1]),
                                            write_small_server_key(dir_.path() / "c.pem", pems[2])};
    const RotationRow rows[] = {
        {"current key", {}, 0, 200},
        {"another key, no previous keys", {}, 1, 400},
        {"the previous key", {1}, 1, 200},
        {"the second previous key", {1, 2}, 2, 200},
        {"the current key beside previous keys", {1, 2}, 0, 200},
        {"another key beside a previous key", {1}, 2, 400},
    };
    std::string encoded_key;
    for (const char ch : relay_vectors()["client_public_key_pem"].get<std::string>())
        encoded_key += ch == '\n' ? std::string("%0A") : std::string(1, ch);
    const httplib::Headers headers{{"X-Payload-ID", "rotation"}, {"X-Public-Key", encoded_key}};
    const auto client_key = rp::load_private_key(relay_vectors()["client_private_key_pem"].get<std::string>());
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        start_router([&](RelayOptions& o) {
            o.upstream.reset();
            for (const int i : row.previous) o.previous_server_key_files.push_back(files[i]);
        });
        EXPECT_EQ(router_->previous_public_key_pems().size(), row.previous.size());
        httplib::Client http("127.0.0.1", router_->port());
        const auto served = http.Get("/pki/public_key");
        ASSERT_TRUE(served);
        EXPECT_EQ(served->body, pems[0]);
        const auto recipient = rp::load_public_key(pems[row.sealed_for]);
        const auto r = http.Post("/v1/chat/secure_completion", headers,
                                 rp::seal_package(chat("rotated").dump(), recipient.get()).dump(),
                                 "application/octet-stream");
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, row.status) << r->body;
        if (r->status == 200) {
            const json answer = json::parse(rp::open_package(r->body, client_key.get()));
            EXPECT_EQ(answer["choices"][0]["message"]["content"], "rotated");
        } else {
            EXPECT_EQ(json::parse(r->body).value("detail", ""), "Invalid package: RSA-OAEP unwrap failed");
        }
        const auto not_a_package = http.Post("/v1/chat/secure_completion", headers, "[]", "application/octet-stream");
        ASSERT_TRUE(not_a_package);
        EXPECT_EQ(json::parse(not_a_package->body).value("detail", ""),
                  "Invalid package: package is not a JSON object");
    }
    // A key file that is no key stops the router from starting.
    std::ofstream(dir_.path() / "not-a-key.pem") << "not a key";
    RelayOptions broken;
    broken.server_key_file = server_key_;
    broken.previous_server_key_files = {dir_.path() / "not-a-key.pem"};
    EXPECT_THROW(veilrelay_router::RelayRouter{broken}, std::runtime_error);
}

// --- streamed answers --------------------------------------------------------

struct StreamRead {
    bool streamed = false;
    std::vector<json> chunks;
    std::exception_ptr error;
};

asio::awaitable<StreamRead> read_stream(Veilrelay& c, json payload) {
    StreamRead out;
    try {
        SecureStream stream = co_await c.open_secure_stream(std::move(payload), "req-s");
        out.streamed = stream.streamed();
        while (auto chunk = co_await stream.next()) out.chunks.push_back(std::move(*chunk));
    } catch (...) {
        out.error = std::current_exception();
    }
    co_return out;
}

// The text of the chunks together: the deltas' content, or a whole answer's message.
std::string text_of(const std::vector<json>& chunks) {
    std::string text;
    for (const json& chunk : chunks)
        for (const json& choice : chunk.value("choices", json::array())) {
            if (choice.contains("message")) text += choice["message"].value("content", "");
            else if (choice.contains("delta")) text += choice["delta"].value("content", "");
        }
    return text;
}

struct StreamCase {
    const char* name;
    StreamShape shape;
    std::size_t text_bytes;
    bool streamed;                             // the router answered with events
    const std::type_info* error = nullptr;     // what next() raises at the end, if anything
    std::optional<int> status = std::nullopt;  // its status
    std::string detail = {};                   // the final chunk's detail
    std::string message = {};
};

std::string what_of(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return std::string(typeid(e).name()) + ": " + e.what();
    }
}

// Checks that a stream ended in the typed error `type` with `status` and
// `message`; gives that error's details (none when it was another error).
std::optional<nlohmann::ordered_json> expect_api_error(const std::exception_ptr& error, const std::type_info& type,
                                                       std::optional<int> status, const std::string& message) {
    if (!error) {
        ADD_FAILURE() << "the stream ended well";
        return std::nullopt;
    }
    try {
        std::rethrow_exception(error);
    } catch (const APIError& e) {
        EXPECT_EQ(typeid(e), type) << typeid(e).name() << ": " << e.what();
        EXPECT_EQ(e.status_code, status);
        EXPECT_EQ(std::string(e.what()), message);
        if (!e.error_details) ADD_FAILURE() << "a final status without details";
        return e.error_details;
    } catch (const std::exception& e) {
        ADD_FAILURE() << typeid(e).name() << ": " << e.what();
    }
    return std::nullopt;
}

// Each way a model server answers a streamed request reaches the caller as
// what it is: the whole text, or the text so far and a typed error that says
// what happened, never a security error.
TEST_F(RelayTest, EveryModelServerStreamReachesTheCallerAsWhatItIs) {
    const std::size_t big = 1'500'000;
    const std::vector<StreamCase> cases{
        {"honest", StreamShape::honest, 100, true},
        {"byte-order mark and CR line ends", StreamShape::honest_cr, 100, true},
        {"whole answer of 1.5 MB", StreamShape::whole, big, false},
        {"one event of 1.5 MB", StreamShape::one_event, big, true},
        {"error object mid-stream", StreamShape::error_object, 100, true, &typeid(ServiceUnavailableError), 503,
         "The model is overloaded", "Service unavailable: The model is overloaded"},
        {"event that is not JSON", StreamShape::not_json, 100, true, &typeid(APIError), 502,
         "Model server sent an event that is not a JSON object"},
        {"connection cut", StreamShape::cut, 100, true, &typeid(APIError), 502,
         "Model server connection broke off mid-stream, before [DONE]"},
    };
    start_router();
    Veilrelay c = client();
    for (const StreamCase& k : cases) {
        SCOPED_TRACE(k.name);
        const std::string text = FakeUpstream::long_text(k.text_bytes);
        upstream_.reply_with(FakeUpstream::streamed(k.shape, text));
        const StreamRead read = run_awaitable(read_stream(c, chat("hi")), std::chrono::seconds(60));
        EXPECT_EQ(read.streamed, k.streamed);
        EXPECT_TRUE(text_of(read.chunks) == text) << text_of(read.chunks).size() << " of " << text.size() << " bytes";
        for (const json& chunk : read.chunks) EXPECT_EQ(chunk["id"], "chatcmpl-fake");
        if (!k.error) {
            EXPECT_FALSE(read.error) << what_of(read.error);
            continue;
        }
        const auto details = expect_api_error(read.error, *k.error, k.status,
                                              k.message.empty() ? "Unexpected status code: 502 " + k.detail : k.message);
        if (!details) continue;
        EXPECT_EQ((*details)["detail"], k.detail);
        if (k.shape == StreamShape::error_object) {
            EXPECT_EQ((*details)["error"].dump(), json::parse(FakeUpstream::kMidStreamError).dump())
                << "the model server's error object changed";
            EXPECT_EQ((*details)["retry_after"], "7");
            EXPECT_EQ((*details)["upstream_status"], 503);
        } else {
            EXPECT_EQ((*details)["error"]["type"], "api_error");
        }
    }
    // The one event arrived cut into chunks of the same answer, its finish reason last.
    upstream_.reply_with(FakeUpstream::streamed(StreamShape::one_event, FakeUpstream::long_text(big)));
    const StreamRead cut = run_awaitable(read_stream(c, chat("hi")), std::chrono::seconds(60));
    ASSERT_GE(cut.chunks.size(), 3u);
    EXPECT_EQ(cut.chunks.front()["choices"][0]["delta"]["role"], "assistant");
    EXPECT_EQ(cut.chunks.back()["choices"][0]["finish_reason"], "stop");
    for (std::size_t i = 0; i + 1 < cut.chunks.size(); ++i)
        EXPECT_TRUE(cut.chunks[i]["choices"][0]["finish_reason"].is_null()) << i;
}

// The end of a stream without [DONE] is a failure unless a finish reason came;
// a model server's status named in its error object maps as a refusal's would.
TEST_F(RelayTest, AStreamEndsWellOnlyAfterDoneOrAFinishReason) {
    const auto events = [](std::vector<std::string> data) {
        return UpstreamReply{200, "", "text/event-stream", {}, 0, {}, FakeUpstream::events(std::move(data))};
    };
    const std::string part = FakeUpstream::chunk(R"({"content":"part"})");
    const std::string blob = R"({"id":"x","blob":")" + std::string(1'200'000, 'b') + "\"}";
    struct Row {
        const char* name;
        UpstreamReply reply;
        std::optional<int> status;  // none: the stream ends well
        std::string message = {};
        const std::type_info& type = typeid(APIError);
    };
    const std::vector<Row> rows{
        {"finish reason, no [DONE]", events({part, FakeUpstream::chunk("{}", "length")}), std::nullopt},
        {"neither", events({part}), 502,
         "Unexpected status code: 502 Model server ended its stream without [DONE] and without a finish reason"},
        {"error naming 429", events({part, R"({"error":{"message":"slow down","code":429}})"}), 429,
         "Rate limit exceeded: slow down", typeid(RateLimitError)},
        {"error naming 422", events({part, R"({"error":{"message":"bad \"tool\"","status":422}})"}), 400,
         "Bad request: bad \"tool\"", typeid(InvalidRequestError)},
        {"error as a string", events({part, R"({"error":"went wrong"})"}), 502,
         "Unexpected status code: 502 Model server reported an error mid-stream: went wrong"},
        {"an array event", events({part, "[1]"}), 502,
         "Unexpected status code: 502 Model server sent an event that is not a JSON object"},
        {"an event past the bound, not a chunk", events({blob}), 502,
         "Unexpected status code: 502 Model server sent an event of " + std::to_string(blob.size()) +
             " bytes that cannot be cut into chunks of at most 1048576 bytes"},
    };
    start_router();
    Veilrelay c = client();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        upstream_.reply_with(row.reply);
        const StreamRead read = run_awaitable(read_stream(c, chat("hi")), std::chrono::seconds(60));
        if (!row.status) {
            EXPECT_FALSE(read.error) << what_of(read.error);
            continue;
        }
        expect_api_error(read.error, row.type, row.status, row.message);
    }
}

TEST_F(RelayTest, WithoutUpstreamTheEchoModelAnswers) {
    start_router([](RelayOptions& o) { o.upstream.reset(); });
    Veilrelay c = client();
    const json answer = send(c, chat("echo me", "any"));
    EXPECT_EQ(answer["choices"][0]["message"]["content"], "echo me");
    EXPECT_EQ(answer["model"], "any");
    EXPECT_EQ(upstream_.request_count(), 0u);
}

}  // namespace
}  // namespace ossara::testing
