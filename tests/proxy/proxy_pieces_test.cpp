// The pieces of `veilrelay proxy` that need no network: the error table,
// the reading of request bodies and headers, the event-stream writer and
// the --listen address, the browser rules.
#include "listen_address.hpp"
#include "proxy/browser_guard.hpp"
#include "exit_codes.hpp"
#include "proxy/proxy_errors.hpp"
#include "proxy/proxy_request.hpp"
#include "proxy/sse_writer.hpp"

#include <ossara/Veilrelay.hpp>

#include <gtest/gtest.h>

#include <regex>
#include <system_error>

namespace veilrelay_cli {
namespace {

using ossara::json;

ErrorReply mapped(const std::exception_ptr& error, ExchangeEnd end = ExchangeEnd::failed) {
    return map_exchange_failure(error, end);
}

template <typename E, typename... Args>
std::exception_ptr error_of(Args&&... args) {
    return std::make_exception_ptr(E(std::forward<Args>(args)...));
}

struct MappingRow {
    const char* what;
    std::exception_ptr error;
    int status;
    const char* type;
};

// The status classes the router can provoke are covered end to end in
// proxy_server_test.cpp; these are the rows only the library's other
// failures reach.
TEST(ProxyErrorMapping, EachErrorClassHasItsStatusAndType) {
    const MappingRow rows[] = {
        {"404 without status", error_of<ossara::APIError>("Endpoint not found: x"), 502, "api_error"},
        // An unexpected success or redirect status of the router is still a
        // failure: it must not reach the client as one.
        {"201", error_of<ossara::APIError>("Unexpected status code: 201 unknown", 201), 502, "api_error"},
        {"302", error_of<ossara::APIError>("Unexpected status code: 302 unknown", 302), 502, "api_error"},
        {"server error with 502", error_of<ossara::ServerError>("Server error: x", 502), 502, "server_error"},
        {"key fetch", error_of<ossara::ConnectionError>("Connection to server timed out"), 502, "api_connection_error"},
        {"too large", error_of<ossara::ValueError>("Payload too large: 11 bytes exceeds maximum"), 413,
         "invalid_request_error"},
        {"empty", error_of<ossara::ValueError>("Payload cannot be empty"), 400, "invalid_request_error"},
        {"type", error_of<ossara::TypeError>("payload must be a JSON object"), 400, "invalid_request_error"},
        {"cancelled", std::make_exception_ptr(ossara::CancelledError()), 503, "service_unavailable_error"},
    };
    for (const auto& row : rows) {
        const ErrorReply reply = mapped(row.error);
        EXPECT_EQ(reply.status, row.status) << row.what;
        EXPECT_EQ(reply.type, row.type) << row.what;
    }
}

TEST(ProxyErrorMapping, MessagesOfTheLibraryReachTheClientButForeignErrorsDoNot) {
    EXPECT_EQ(mapped(error_of<ossara::RateLimitError>("Rate limit exceeded: slow down")).message,
              "Rate limit exceeded: slow down");
    const ErrorReply internal = mapped(std::make_exception_ptr(std::runtime_error("/home/me/secret path")));
    EXPECT_EQ(internal.status, 500);
    EXPECT_EQ(internal.message.find("secret"), std::string::npos);
    EXPECT_EQ(mapped(std::make_exception_ptr(42)).status, 500);
}

TEST(ProxyErrorMapping, ATimeoutOrAStopWinsOverTheErrorItCaused) {
    const auto cancelled = std::make_exception_ptr(ossara::CancelledError());
    EXPECT_EQ(mapped(cancelled, ExchangeEnd::timed_out).status, 504);
    EXPECT_EQ(mapped(cancelled, ExchangeEnd::shutting_down).status, 503);
    EXPECT_EQ(mapped(nullptr, ExchangeEnd::timed_out).status, 504);
}

// What a router refusal carries is untrusted: only an error status is taken
// from it, only a bounded printable Retry-After, only an "error" object.
TEST(ProxyErrorMapping, RelayedStatusAndRetryAfterAreTakenOnlyWhenSound) {
    const auto details = [](json d) { return std::optional<ossara::json>(std::move(d)); };
    const auto with = [](json d) { return error_of<ossara::InvalidRequestError>("Bad request: x", 400, std::move(d)); };
    EXPECT_EQ(mapped(with(json{{"upstream_status", 422}})).status, 422);
    EXPECT_EQ(mapped(with(json{{"upstream_status", 200}})).status, 400);
    EXPECT_EQ(mapped(with(json{{"upstream_status", "422"}})).status, 400);
    const auto limited = [](json d) { return mapped(error_of<ossara::RateLimitError>("slow", 429, std::move(d))); };
    EXPECT_EQ(limited(json{{"retry_after", "14"}}).retry_after, "14");
    EXPECT_EQ(limited(json{{"retry_after", "1\r\nSet-Cookie: x"}}).retry_after, std::nullopt);
    EXPECT_EQ(limited(json{{"retry_after", std::string(65, '1')}}).retry_after, std::nullopt);
    EXPECT_EQ(limited(json{{"retry_after", 14}}).retry_after, std::nullopt);

    const auto rate = error_of<ossara::RateLimitError>("slow", 429);
    const json object = {{"message", "m"}, {"type", "t"}, {"param", "p"}, {"code", "c"}, {"extra", 1}};
    const ErrorReply relayed = map_exchange_failure(rate, ExchangeEnd::failed, details(json{{"error", object}}));
    EXPECT_EQ(json::parse(error_body(relayed)), (json{{"error", object}}));
    EXPECT_FALSE(map_exchange_failure(rate, ExchangeEnd::failed, details(json{{"error", "text"}})).error_object);
    // A stop or a timeout wins over what the router relayed.
    EXPECT_EQ(map_exchange_failure(rate, ExchangeEnd::timed_out, details(json{{"error", object}})).status, 504);
}

TEST(ProxyErrorBody, HasTheCommonShapeAndSurvivesInvalidUtf8) {
    EXPECT_EQ(error_body({429, "rate_limit_error", std::nullopt, "slow"}),
              R"({"error":{"message":"slow","type":"rate_limit_error","param":null,"code":null}})");
    EXPECT_EQ(error_body({413, "invalid_request_error", "payload_too_large", "big"}),
              R"({"error":{"message":"big","type":"invalid_request_error","param":null,"code":"payload_too_large"}})");
    const json parsed = json::parse(error_body({502, "api_error", std::nullopt, "bad \xff byte"}));
    EXPECT_EQ(parsed["error"]["message"], "bad \xEF\xBF\xBD byte");
}

CompletionRequest parsed_ok(std::string_view body) {
    auto result = parse_completion_body(body);
    if (auto* error = std::get_if<ErrorReply>(&result)) ADD_FAILURE() << body << ": " << error->message;
    return std::get_if<CompletionRequest>(&result) ? std::get<CompletionRequest>(result) : CompletionRequest{};
}

std::optional<ErrorReply> refused(std::string_view body) {
    auto result = parse_completion_body(body);
    if (auto* error = std::get_if<ErrorReply>(&result)) return *error;
    return std::nullopt;
}

TEST(CompletionBody, StreamMembersAreTakenOutAndTheRestKeepsItsOrder) {
    const auto r = parsed_ok(R"({"z": 1, "stream": true, "model": "m", "stream_options": {"include_usage": true}, "a": [1]})");
    EXPECT_TRUE(r.stream);
    EXPECT_TRUE(r.include_usage);
    EXPECT_EQ(r.payload.dump(), R"({"z":1,"model":"m","a":[1]})");

    const auto plain = parsed_ok(R"({"model": "m", "stream": null, "stream_options": null})");
    EXPECT_FALSE(plain.stream);
    EXPECT_FALSE(plain.include_usage);
    EXPECT_EQ(plain.payload.dump(), R"({"model":"m"})");
}

TEST(CompletionBody, RefusesWhatIsNotAJsonObjectWith400) {
    for (const char* body : {"", "  \r\n", "not json", "[1, 2]", "\"text\"", "{\"a\": 1", "{\"a\": 1} x",
                             R"({"stream": "yes"})", R"({"stream_options": 1})",
                             R"({"stream_options": {"include_usage": 1}})"}) {
        const auto error = refused(body);
        ASSERT_TRUE(error) << body;
        EXPECT_EQ(error->status, 400) << body;
        EXPECT_EQ(error->type, "invalid_request_error") << body;
    }
}

TEST(CompletionBody, NestingIsBounded) {
    const auto nested = [](int depth) {
        return "{\"a\": " + std::string(static_cast<std::size_t>(depth - 1), '[') + "1" +
               std::string(static_cast<std::size_t>(depth - 1), ']') + "}";
    };
    EXPECT_FALSE(refused(nested(kMaxBodyDepth)));
    EXPECT_TRUE(refused(nested(kMaxBodyDepth + 1)));
    // Far deeper than any stack would survive if something recursed over it.
    EXPECT_TRUE(refused(nested(200000)));
}

TEST(RequestHeaders, RequestIdIsKeptOnlyWhenItIsAUsableHeaderValue) {
    EXPECT_EQ(request_id_from(std::string("req-42")), "req-42");
    EXPECT_EQ(request_id_from(std::string("a b")), "a b");
    const std::regex uuid("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    for (const std::optional<std::string>& bad :
         {std::optional<std::string>(), std::optional<std::string>(""), std::optional<std::string>(" x"),
          std::optional<std::string>("x "), std::optional<std::string>("a\tb"),
          std::optional<std::string>("caf\xc3\xa9"), std::optional<std::string>(std::string(201, 'x'))})
        EXPECT_TRUE(std::regex_match(request_id_from(bad), uuid)) << (bad ? *bad : "(none)");
    EXPECT_NE(random_uuid(), random_uuid());
}

TEST(RequestHeaders, BearerTokenAndSecretComparison) {
    EXPECT_EQ(bearer_token("Bearer abc"), "abc");
    EXPECT_EQ(bearer_token("bearer  abc "), "abc");
    EXPECT_FALSE(bearer_token("Bearer "));
    EXPECT_FALSE(bearer_token("Basic abc"));
    EXPECT_FALSE(bearer_token(""));
    EXPECT_TRUE(same_secret("token", "token"));
    EXPECT_FALSE(same_secret("token", "tokem"));
    EXPECT_FALSE(same_secret("token", "token2"));
    EXPECT_FALSE(same_secret("", "token"));
    EXPECT_TRUE(same_secret("", ""));
}

// Which Host names the proxy (the DNS-rebinding page sends its own name),
// which Origin may call, and which body types a POST may have.
TEST(BrowserRules, HostOriginAndContentType) {
    const BrowserPolicy loopback{"127.0.0.1", {"chat.lan", "box:9000", "[fd00::1]"}, {"https://ok.example"}};
    const BrowserPolicy v6{"::1", {}, {}};
    const BrowserPolicy lan{"192.0.2.7", {}, {}};
    const struct {
        const BrowserPolicy& policy;
        const char* host;
        bool allowed;
    } hosts[] = {
        {loopback, "127.0.0.1:8088", true},  {loopback, "LocalHost:8088", true},  {loopback, "[::1]:8088", true},
        {loopback, "chat.lan:1234", true},   {loopback, "box:9000", true},        {loopback, "[fd00::1]", true},
        {loopback, "box:8088", false},       {loopback, "127.0.0.1:8089", false}, {loopback, "127.0.0.1", false},
        {loopback, "127.0.0.1:", false},     {loopback, "127.0.0.1:8088x", false}, {loopback, "evil.example:8088", false},
        {loopback, "localhost.:8088", false}, {loopback, "[::1:8088", false},     {loopback, "::1:8088", false},
        {v6, "[::1]:8088", true},            {lan, "192.0.2.7:8088", true},       {lan, "192.0.2.8:8088", false},
    };
    for (const auto& row : hosts) EXPECT_EQ(is_allowed_host(row.policy, 8088, row.host), row.allowed) << row.host;

    EXPECT_TRUE(is_allowed_origin(loopback, std::nullopt));
    EXPECT_TRUE(is_allowed_origin(loopback, "https://OK.example"));
    for (const char* origin : {"https://ok.example.evil", "http://ok.example", "null", "", "https://evil.example"})
        EXPECT_FALSE(is_allowed_origin(loopback, std::string(origin))) << origin;

    for (const char* json_type : {"application/json", "Application/JSON", "application/json; charset=utf-8",
                                  " application/json ;charset=UTF-8"})
        EXPECT_TRUE(is_json_media_type(json_type)) << json_type;
    for (const char* other : {"", "text/plain", "application/x-www-form-urlencoded", "multipart/form-data; boundary=x",
                              "application/jsonx", "application/json-seq", "text/json"})
        EXPECT_FALSE(is_json_media_type(other)) << other;
}

TEST(RequestHeaders, TheConfiguredTierWinsAndAnInvalidTierIsRefused) {
    using Tier = std::optional<std::string>;
    EXPECT_EQ(std::get<Tier>(choose_tier(Tier("high"), Tier("standard"))), Tier("high"));
    EXPECT_EQ(std::get<Tier>(choose_tier(Tier(), Tier("maximum"))), Tier("maximum"));
    EXPECT_EQ(std::get<Tier>(choose_tier(Tier(), Tier())), Tier());
    for (const char* bad : {"HIGH", "", "low"}) {
        const auto choice = choose_tier(Tier(), Tier(bad));
        ASSERT_TRUE(std::holds_alternative<ErrorReply>(choice)) << bad;
        EXPECT_EQ(std::get<ErrorReply>(choice).status, 400);
    }
}

std::vector<json> events_of(const std::string& stream) {
    std::vector<json> events;
    std::size_t at = 0;
    while (at < stream.size()) {
        const auto end = stream.find("\n\n", at);
        EXPECT_NE(end, std::string::npos) << "unterminated event";
        if (end == std::string::npos) break;
        const std::string event = stream.substr(at, end - at);
        EXPECT_EQ(event.rfind("data: ", 0), 0u) << event;
        const std::string data = event.substr(6);
        if (data == "[DONE]") {
            EXPECT_EQ(end + 2, stream.size()) << "[DONE] must come last";
            events.push_back("[DONE]");
        } else {
            events.push_back(json::parse(data));
        }
        at = end + 2;
    }
    return events;
}

TEST(EventStream, OneDeltaPerChoiceThenTheFinishChunksThenDone) {
    const json answer = json::parse(R"({"id": "c-1", "object": "chat.completion", "created": 7, "model": "m",
        "choices": [{"index": 0, "message": {"role": "assistant", "content": "first"}, "finish_reason": "stop"},
                    {"index": 1, "message": {"role": "assistant", "content": null,
                     "tool_calls": [{"id": "t", "type": "function", "function": {"name": "f", "arguments": "{}"}}]},
                     "finish_reason": "tool_calls"}],
        "usage": {"prompt_tokens": 1, "completion_tokens": 2, "total_tokens": 3}, "_metadata": {"payload_id": "p"}})");
    const auto events = events_of(sse_stream(answer, false));
    ASSERT_EQ(events.size(), 5u);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(events[i]["id"], "c-1");
        EXPECT_EQ(events[i]["object"], "chat.completion.chunk");
        EXPECT_EQ(events[i]["created"], 7);
        EXPECT_EQ(events[i]["model"], "m");
        EXPECT_FALSE(events[i].contains("usage"));
        EXPECT_FALSE(events[i].contains("_metadata"));
    }
    EXPECT_EQ(events[0]["choices"][0]["delta"], json::parse(R"({"role": "assistant", "content": "first"})"));
    EXPECT_TRUE(events[0]["choices"][0]["finish_reason"].is_null());
    EXPECT_EQ(events[1]["choices"][0]["index"], 1);
    EXPECT_EQ(events[1]["choices"][0]["delta"]["tool_calls"][0]["index"], 0);
    EXPECT_EQ(events[2]["choices"][0]["delta"], json::object());
    EXPECT_EQ(events[2]["choices"][0]["finish_reason"], "stop");
    EXPECT_EQ(events[3]["choices"][0]["finish_reason"], "tool_calls");
    EXPECT_EQ(events[4], "[DONE]");
}

TEST(EventStream, UsageComesInALastChunkWithoutChoicesWhenAskedFor) {
    const json answer = json::parse(R"({"id": "c", "model": "m", "choices": [{"message": {"content": "x"}}],
                                       "usage": {"total_tokens": 3}})");
    const auto events = events_of(sse_stream(answer, true));
    ASSERT_EQ(events.size(), 4u);
    EXPECT_TRUE(events[0]["usage"].is_null());
    EXPECT_TRUE(events[1]["usage"].is_null());
    EXPECT_EQ(events[1]["choices"][0]["finish_reason"], "stop");  // the default when the answer has none
    EXPECT_EQ(events[2]["choices"], json::array());
    EXPECT_EQ(events[2]["usage"]["total_tokens"], 3);
}

TEST(EventStream, AnAnswerWithoutChoicesStillEndsInDone) {
    for (const char* text : {"{}", R"({"choices": "no"})", R"({"choices": [1, null]})"}) {
        const auto events = events_of(sse_stream(json::parse(text), false));
        ASSERT_FALSE(events.empty()) << text;
        EXPECT_EQ(events.back(), "[DONE]") << text;
    }
}

TEST(ListenAddressOption, ParsesHostAndPortAndTellsLoopback) {
    const auto v4 = parse_listen_address("127.0.0.1:8088");
    EXPECT_EQ(v4.host, "127.0.0.1");
    EXPECT_EQ(v4.port, 8088);
    const auto v6 = parse_listen_address("[::1]:0");
    EXPECT_EQ(v6.host, "::1");
    EXPECT_EQ(v6.port, 0);
    EXPECT_EQ(v6.url(9000), "http://[::1]:9000");
    for (const char* bad : {"8088", ":8088", "host:", "host:x", "host:65536", "::1:80", "[::1:80", "h:-1"})
        EXPECT_THROW(parse_listen_address(bad), UsageError) << bad;

    for (const char* local : {"127.0.0.1", "127.8.9.10", "::1", "localhost"}) EXPECT_TRUE(is_loopback(local)) << local;
    for (const char* remote : {"0.0.0.0", "192.168.1.2", "::", "example.org", "128.0.0.1"})
        EXPECT_FALSE(is_loopback(remote)) << remote;
}

}  // namespace
}  // namespace veilrelay_cli
