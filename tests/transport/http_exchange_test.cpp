// The transport on its own: what goes on the wire, what comes back, and how
// each kind of broken peer is classified.
#include "run_async.hpp"

#include "devrouter/test_servers.hpp"
#include "transport/http_transport.hpp"

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <string>
#include <vector>

namespace {

using ossara::detail::HttpError;
using ossara::detail::HttpFailure;
using ossara::detail::HttpRequest;
using ossara::detail::HttpResponse;
using ossara::devrouter::RawResponder;
using ossara::testing::run_async;
using ::testing::HasSubstr;
using ::testing::Not;

const ossara::detail::HttpLimits kTestLimits{std::chrono::milliseconds(5000), std::chrono::seconds(10)};

std::string ok_answer(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

HttpRequest request_to(const std::string& url, HttpRequest::Method method = HttpRequest::Method::get) {
    HttpRequest request;
    request.method = method;
    request.url = url;
    request.limits = kTestLimits;
    return request;
}

std::string head_of(const std::string& raw) { return raw.substr(0, raw.find("\r\n\r\n") + 2); }
std::string body_of(const std::string& raw) { return raw.substr(raw.find("\r\n\r\n") + 4); }

HttpError failure_of(HttpRequest request) {
    try {
        run_async(ossara::detail::http_exchange(std::move(request)));
    } catch (const HttpError& e) {
        return e;
    }
    ADD_FAILURE() << "expected an HttpError";
    return HttpError(HttpFailure::other, 0, "");
}

TEST(HttpExchange, PostSendsHeadersInOrderAndTheBodyVerbatim) {
    RawResponder peer(ok_answer("ok"), false);
    HttpRequest request = request_to(peer.base_url() + "/v1/x", HttpRequest::Method::post);
    request.headers = {{"X-Payload-ID", "p-1"}, {"X-Public-Key", "a%0Ab"}, {"Content-Type", "application/octet-stream"},
                       {"Authorization", "Bearer k"}};
    for (int i = 0; i < 1024; ++i) request.body.push_back(static_cast<std::uint8_t>(i % 256));  // NULs, non-UTF-8
    const std::vector<std::uint8_t> sent = request.body;

    const HttpResponse response = run_async(ossara::detail::http_exchange(std::move(request)));

    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(std::string(response.body.begin(), response.body.end()), "ok");
    const auto raw = peer.requests();
    ASSERT_EQ(raw.size(), 1u);
    const std::string head = head_of(raw[0]);
    EXPECT_THAT(head, ::testing::StartsWith("POST /v1/x HTTP/1.1\r\n"));
    const auto at = [&](const char* line) { return head.find(line); };
    ASSERT_NE(at("X-Payload-ID: p-1\r\n"), std::string::npos);
    EXPECT_LT(at("X-Payload-ID: p-1\r\n"), at("X-Public-Key: a%0Ab\r\n"));
    EXPECT_LT(at("X-Public-Key: a%0Ab\r\n"), at("Content-Type: application/octet-stream\r\n"));
    EXPECT_LT(at("Content-Type: application/octet-stream\r\n"), at("Authorization: Bearer k\r\n"));
    EXPECT_NE(at("Authorization: Bearer k\r\n"), std::string::npos);
    EXPECT_NE(at("Content-Length: 1024\r\n"), std::string::npos);
    EXPECT_THAT(head, Not(HasSubstr("Expect:")));
    const std::string body = body_of(raw[0]);
    EXPECT_EQ(std::vector<std::uint8_t>(body.begin(), body.end()), sent);
}

TEST(HttpExchange, GetCarriesNoBodyAndNoHeadersOfItsOwn) {
    RawResponder peer(ok_answer("k"), false);
    run_async(ossara::detail::http_exchange(request_to(peer.base_url() + "/pki/public_key")));
    const auto raw = peer.requests();
    ASSERT_EQ(raw.size(), 1u);
    EXPECT_THAT(raw[0], ::testing::StartsWith("GET /pki/public_key HTTP/1.1\r\n"));
    EXPECT_THAT(raw[0], Not(HasSubstr("Content-Length")));
    EXPECT_THAT(raw[0], Not(HasSubstr("Authorization")));
    EXPECT_TRUE(body_of(raw[0]).empty());
}

TEST(HttpExchange, DeliversStatusAndBodyOfEveryAnswer) {
    const struct {
        std::string answer;
        long status;
        std::string body;
    } rows[] = {
        {"HTTP/1.1 418 I'm a teapot\r\nContent-Length: 5\r\n\r\nshort", 418, "short"},
        {"HTTP/1.1 204 No Content\r\n\r\n", 204, ""},
        {"HTTP/1.1 302 Found\r\nLocation: /elsewhere\r\nContent-Length: 3\r\n\r\nfar", 302, "far"},  // not followed
        {"HTTP/1.1 500 Internal Server Error\r\nConnection: close\r\n\r\nuntil close", 500, "until close"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.answer);
        RawResponder peer(row.answer, false);
        const HttpResponse response = run_async(ossara::detail::http_exchange(request_to(peer.base_url())));
        EXPECT_EQ(response.status, row.status);
        EXPECT_EQ(std::string(response.body.begin(), response.body.end()), row.body);
        EXPECT_EQ(peer.connections(), 1);
    }
}

TEST(HttpExchange, LargeBodiesCrossIntactBothWays) {
    std::string big(4 * 1024 * 1024, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 7919) % 251);
    RawResponder peer(ok_answer(big), false);
    HttpRequest request = request_to(peer.base_url(), HttpRequest::Method::post);
    request.body.assign(big.rbegin(), big.rend());
    const std::string sent(big.rbegin(), big.rend());

    const HttpResponse response = run_async(ossara::detail::http_exchange(std::move(request)));

    EXPECT_TRUE(std::string(response.body.begin(), response.body.end()) == big);
    ASSERT_EQ(peer.requests().size(), 1u);
    EXPECT_TRUE(body_of(peer.requests()[0]) == sent);
}

TEST(HttpExchange, HeaderWithALineBreakIsRejectedBeforeConnecting) {
    RawResponder peer(ok_answer("ok"), false);
    for (const auto& header : std::vector<std::pair<std::string, std::string>>{
             {"X-Payload-ID", "a\r\nX-Injected: 1"}, {"X-Payload-ID", "a\nb"}, {"X-Bad\r\nName", "v"}, {"", "v"}}) {
        HttpRequest request = request_to(peer.base_url(), HttpRequest::Method::post);
        request.headers = {header};
        EXPECT_EQ(failure_of(std::move(request)).kind(), HttpFailure::other);
    }
    EXPECT_EQ(peer.connections(), 0);
}

TEST(HttpExchange, BrokenPeersAreClassified) {
    const std::string truncated = "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\npartial";
    const struct {
        const char* what;
        std::string answer;
        bool reset;
        HttpFailure kind;
        int code;
    } rows[] = {
        {"closed without an answer", "", false, HttpFailure::other, 52},
        {"closed mid-body", truncated, false, HttpFailure::other, 18},
        {"reset mid-body", truncated, true, HttpFailure::network, 56},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        if (row.reset && !ossara::devrouter::kResetsReachTheClient) continue;
        RawResponder peer(row.answer, row.reset);
        const HttpError error = failure_of(request_to(peer.base_url()));
        EXPECT_EQ(error.kind(), row.kind);
        EXPECT_EQ(error.curl_code(), row.code);
        EXPECT_STRNE(error.what(), "");
    }
}

// The exchanges of one event loop share its curl multi handle: started
// together, each still ends with its own peer's outcome.
TEST(HttpExchange, ExchangesStartedTogetherKeepTheirOwnOutcomes) {
    RawResponder short_answer(ok_answer("a"), false);
    RawResponder long_answer(ok_answer(std::string(200000, 'b')), false);
    RawResponder unavailable("HTTP/1.1 503 Service Unavailable\r\nContent-Length: 4\r\nConnection: close\r\n\r\nbusy", false);
    RawResponder silent("", false);
    RawResponder cut("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\npartial", false);
    const ossara::devrouter::ClosedPort closed;
    const struct {
        std::string url;
        long status;
        std::string body;
        int curl_code;  // 0: an answer is expected
    } rows[] = {
        {short_answer.base_url(), 200, "a", 0},
        {long_answer.base_url(), 200, std::string(200000, 'b'), 0},
        {unavailable.base_url(), 503, "busy", 0},
        {silent.base_url(), 0, "", 52},
        {cut.base_url(), 0, "", 18},
        {closed.base_url() + "/", 0, "", 7},
    };
    constexpr std::size_t kEach = 3;
    asio::io_context io;
    std::vector<std::future<HttpResponse>> outcomes;
    for (const auto& row : rows)
        for (std::size_t copy = 0; copy < kEach; ++copy)
            outcomes.push_back(asio::co_spawn(io, ossara::detail::http_exchange(request_to(row.url)), asio::use_future));
    io.run_for(std::chrono::seconds(60));
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        const auto& row = rows[i / kEach];
        SCOPED_TRACE(row.url);
        ASSERT_EQ(outcomes[i].wait_for(std::chrono::seconds(0)), std::future_status::ready);
        try {
            const HttpResponse response = outcomes[i].get();
            EXPECT_EQ(row.curl_code, 0);
            EXPECT_EQ(response.status, row.status);
            EXPECT_EQ(std::string(response.body.begin(), response.body.end()), row.body);
        } catch (const HttpError& error) {
            EXPECT_EQ(error.curl_code(), row.curl_code) << error.what();
        }
    }
}

TEST(HttpExchange, RefusedConnectionAndForeignSchemes) {
    const ossara::devrouter::ClosedPort closed;
    const HttpError refused = failure_of(request_to(closed.base_url() + "/"));
    EXPECT_EQ(refused.kind(), HttpFailure::could_not_connect);
    EXPECT_EQ(refused.curl_code(), 7);

    const HttpError scheme = failure_of(request_to("file:///etc/passwd"));
    EXPECT_EQ(scheme.kind(), HttpFailure::other);
    EXPECT_EQ(scheme.curl_code(), 1);  // unsupported protocol: only http and https are spoken
}

}  // namespace
