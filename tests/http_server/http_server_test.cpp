// The event-driven HTTP server shared by veilrelay-router and the proxy: its
// strict head parser and chunked decoder, and what its deadlines, its
// connection limit and its shutdown do to misbehaving and waiting clients.
#include <http_server/async_http_server.hpp>
#include <http_server/serving_options_cli.hpp>
#include <devrouter/loopback_socket.hpp>

#include "support/eventually.hpp"
#include "support/test_certs.hpp"
#include "support/test_data.hpp"

#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#if !defined(_WIN32)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

#include <atomic>
#include <future>
#include <thread>
#include <vector>

namespace ossara::testing {
namespace {

namespace hs = ossara::http_server;
using namespace std::chrono_literals;
using namespace std::string_literals;
using Clock = std::chrono::steady_clock;

struct HeadRow {
    const char* what;
    std::string head;
    int status;  // 0: parsed
};

TEST(HttpHead, ParsesStrictlyAndRefusesWhatTwoParsersCouldReadTwoWays) {
    std::string many_headers = "GET / HTTP/1.1\r\nHost: a\r\n";
    for (int i = 0; i < 100; ++i) many_headers += "H" + std::to_string(i) + ": v\r\n";
    // Every row but the Host ones has exactly one Host, so each is refused for its own reason.
    const std::string post = "POST / HTTP/1.1\r\nHost: a\r\n";
    const std::vector<HeadRow> rows = {
        {"plain", "POST /v1/x?q=1 HTTP/1.1\r\nHost: a\r\nContent-Length: 5\r\n", 0},
        {"HTTP/1.0", "GET / HTTP/1.0\r\n", 0},
        {"two equal lengths", post + "Content-Length: 5\r\nContent-Length: 5\r\n", 400},
        {"two lengths", post + "Content-Length: 5\r\nContent-Length: 6\r\n", 400},
        {"signed length", post + "Content-Length: +5\r\n", 400},
        {"length and chunked", post + "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n", 400},
        {"other coding", post + "Transfer-Encoding: gzip\r\n", 400},
        {"chunked, any case", post + "Transfer-Encoding: Chunked\r\n", 0},
        {"a coding before chunked", post + "Transfer-Encoding: gzip, chunked\r\n", 501},
        {"codings over two lines", post + "Transfer-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n", 501},
        {"chunked not last", post + "Transfer-Encoding: chunked, gzip\r\n", 400},
        {"chunked not last line", post + "Transfer-Encoding: chunked\r\nTransfer-Encoding: identity\r\n", 400},
        {"chunked twice", post + "Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n", 400},
        {"empty coding", post + "Transfer-Encoding: , chunked\r\n", 400},
        {"chunked in HTTP/1.0", "POST / HTTP/1.0\r\nTransfer-Encoding: chunked\r\n", 400},
        {"no Host", "GET / HTTP/1.1\r\nA: b\r\n", 400},
        {"two Hosts", "GET / HTTP/1.1\r\nHost: a\r\nhost: a\r\n", 400},
        {"two Hosts in HTTP/1.0", "GET / HTTP/1.0\r\nHost: a\r\nHost: b\r\n", 400},
        {"folded line", "GET / HTTP/1.1\r\nHost: a\r\nA: b\r\n c\r\n", 400},
        {"space before colon", "GET / HTTP/1.1\r\nHost : a\r\n", 400},
        {"control character", std::string("GET / HTTP/1.1\r\nHost: a\r\nA: b\x01\r\n"), 400},
        {"NUL", "GET / HTTP/1.1\r\nHost: a\r\nA: b\0c\r\n"s, 400},
        {"DEL", "GET / HTTP/1.1\r\nHost: a\r\nA: b\x7f\r\n", 400},
        {"bare LF in a value", "GET / HTTP/1.1\r\nHost: a\r\nA: b\nC: d\r\n", 400},
        {"bare LF after the request line", "GET / HTTP/1.1\nHost: a\r\n", 400},
        {"bare CR in a value", "GET / HTTP/1.1\r\nHost: a\r\nA: b\rC: d\r\n", 400},
        {"absolute target", "GET http://a/ HTTP/1.1\r\nHost: a\r\n", 400},
        {"byte over 0x7f in the target", "GET /\xc3\xa9 HTTP/1.1\r\nHost: a\r\n", 400},
        {"double space", "GET  / HTTP/1.1\r\nHost: a\r\n", 400},
        {"unknown method", "BREW / HTTP/1.1\r\nHost: a\r\n", 501},
        {"method in lower case", "get / HTTP/1.1\r\nHost: a\r\n", 501},
        {"version 2", "GET / HTTP/2.0\r\nHost: a\r\n", 505},
        {"not a version", "GET / http/1.1\r\nHost: a\r\n", 400},
        {"too many headers", many_headers, 431},
    };
    for (const HeadRow& row : rows) {
        const auto parsed = hs::parse_request_head(row.head);
        if (row.status == 0) {
            ASSERT_TRUE(std::holds_alternative<hs::HttpRequest>(parsed)) << row.what;
        } else {
            ASSERT_TRUE(std::holds_alternative<hs::HeadError>(parsed)) << row.what;
            EXPECT_EQ(std::get<hs::HeadError>(parsed).status, row.status) << row.what;
        }
    }
    const auto request = std::get<hs::HttpRequest>(hs::parse_request_head(rows[0].head));
    EXPECT_EQ(request.path, "/v1/x");
    EXPECT_EQ(request.header("host"), "a");
    EXPECT_EQ(hs::body_framing(request).length, 5u);
}

TEST(HttpHead, ConnectionIsAListAndCloseAnywhereCloses) {
    const struct {
        const char* version;
        const char* lines;
        bool keeps;
    } rows[] = {
        {"1.1", "", true},
        {"1.1", "Connection: keep-alive, close\r\n", false},
        {"1.1", "Connection: keep-alive\r\nConnection: Close\r\n", false},
        {"1.1", "Connection: closed\r\n", true},
        {"1.0", "", false},
        {"1.0", "Connection: te, Keep-Alive\r\n", true},
        {"1.0", "Connection: keep-alive\r\nConnection: close\r\n", false},
    };
    for (const auto& row : rows) {
        const std::string head = std::string("GET / HTTP/") + row.version + "\r\nHost: a\r\n" + row.lines;
        const auto parsed = hs::parse_request_head(head);
        ASSERT_TRUE(std::holds_alternative<hs::HttpRequest>(parsed)) << head;
        EXPECT_EQ(hs::keeps_alive(std::get<hs::HttpRequest>(parsed)), row.keeps) << head;
    }
}

TEST(HttpHead, ChunkedBodiesDecodeInAnyPiecesAndStayBounded) {
    const std::string body = "5;ext=1\r\nhello\r\n6\r\n world\r\n0\r\nTrailer: x\r\n\r\nNEXT";
    for (const std::size_t piece : {std::size_t{1}, std::size_t{3}, body.size()}) {
        hs::ChunkedDecoder decoder(100);
        std::string out;
        std::size_t at = 0;
        auto state = hs::ChunkedDecoder::State::more;
        while (state == hs::ChunkedDecoder::State::more && at < body.size()) {
            const auto [s, used] = decoder.feed(std::string_view(body).substr(at, piece), out);
            state = s;
            at += used;
        }
        EXPECT_EQ(state, hs::ChunkedDecoder::State::done) << piece;
        EXPECT_EQ(out, "hello world") << piece;
        EXPECT_EQ(body.substr(at), "NEXT") << piece;  // the next request is left alone
    }
    using State = hs::ChunkedDecoder::State;
    std::string many_trailers = "1\r\na\r\n0\r\n";
    for (int i = 0; i < 33; ++i) many_trailers += "T" + std::to_string(i) + ": x\r\n";
    const struct {
        const char* what;
        std::string input;
        State state;
    } rows[] = {
        {"larger than the limit", "10\r\n", State::too_large},
        {"not hex", "zz\r\n", State::malformed},
        {"data longer than its size", "1\r\nab\r\n", State::malformed},
        {"endless size line", std::string(2000, '1'), State::malformed},
        {"size past 64 bits", "10000000000000000\r\n", State::malformed},
        {"extensions", "1;a=b;c;d=\"q \\\" t\"\r\nx\r\n0\r\n\r\n", State::done},
        {"bare LF in a size line", "6;\nab\r\nabcdef\r\n0\r\n\r\n", State::malformed},
        {"bare CR in a size line", "1\rx\r\n", State::malformed},
        {"space before an extension", "1 ;a\r\n", State::malformed},
        {"control byte in an extension", "1;a=\x01\r\n", State::malformed},
        {"open quoted string", "1;a=\"b\r\n", State::malformed},
        {"bare LF after data", "1\r\nx\n0\r\n\r\n", State::malformed},
        {"bare LF in a trailer", "0\r\nT: x\nY: z\r\n\r\n", State::malformed},
        {"trailer not a field", "0\r\nnot a field\r\n\r\n", State::malformed},
        {"too many trailer fields", many_trailers, State::trailer_too_large},
        {"trailer too long", "0\r\nT: " + std::string(17 * 1024, 'x') + "\r\n\r\n", State::trailer_too_large},
    };
    for (const auto& row : rows) {
        hs::ChunkedDecoder decoder(row.what == std::string("endless size line") ? 1u << 30 : 15);
        std::string out;
        const auto [state, used] = decoder.feed(row.input, out);
        EXPECT_EQ(state, row.state) << row.what;
        EXPECT_LE(out.size(), used) << row.what;
    }
}

// The shared serving options, as veilrelay-router and `veilrelay proxy` take them.
TEST(ServingOptions, TheCommandLineReachesTheServerLimits) {
    const struct {
        std::vector<std::string> args;
        bool accepted;
        std::size_t body_memory;
        std::chrono::milliseconds request_timeout;
    } rows[] = {
        {{}, true, std::size_t{128} << 20, 60s},
        {{"--max-body-memory", "8", "--request-timeout", "2.5"}, true, std::size_t{8} << 20, 2500ms},
        {{"--max-body-memory", "0"}, false, 0, 0s},
        {{"--request-timeout", "0"}, false, 0, 0s},
    };
    for (const auto& row : rows) {
        CLI::App app;
        hs::ServingOptions options;
        hs::add_serving_options(app, options);
        std::vector<std::string> args(row.args.rbegin(), row.args.rend());  // CLI11 takes them last first
        try {
            app.parse(args);
        } catch (const CLI::ParseError&) {
            EXPECT_FALSE(row.accepted) << ::testing::PrintToString(row.args);
            continue;
        }
        ASSERT_TRUE(row.accepted) << ::testing::PrintToString(row.args);
        hs::ServerLimits limits;
        options.apply(limits);
        EXPECT_EQ(limits.max_body_memory, row.body_memory);
        EXPECT_EQ(limits.request_timeout, row.request_timeout);
    }
}

// A server whose "/slow" requests wait 30 s (or until cut), whose "/stream"
// requests are answered in two streamed pieces, whose "/private" requests are
// refused on their head (401), and whose other requests are answered at once.
class HttpServerTest : public ::testing::Test {
protected:
    void start(hs::ServerLimits limits, std::size_t threads = 1, const TestCertificates* tls = nullptr) {
        hs::ServerOptions options;
        options.threads = threads;
        options.limits = limits;
        if (tls) {
            options.cert_file = tls->cert_file.string();
            options.key_file = tls->key_file.string();
        }
        options.handlers.on_head = [](const hs::HttpRequest& req) -> std::optional<hs::HttpResponse> {
            if (req.path != "/private") return std::nullopt;
            hs::HttpResponse res;
            res.status = 401;
            res.set_content("no key", "text/plain");
            return res;
        };
        options.handlers.on_request = [this](hs::HttpRequest& req) -> asio::awaitable<hs::HttpResponse> {
            {
                const std::lock_guard lock(mutex_);
                handled_.push_back(req.path);
            }
            hs::HttpResponse res;
            if (req.path == "/slow") {
                ++slow_started_;
                asio::steady_timer wait(co_await asio::this_coro::executor, 30s);
                co_await wait.async_wait(asio::use_awaitable);
            }
            if (req.path == "/stream") {
                res.stream = [](const hs::StreamWrite& write) -> asio::awaitable<void> {
                    co_await write("a");
                    co_await write("b");
                };
            }
            res.set_content("ok " + req.body, "text/plain");
            co_return res;
        };
        options.handlers.on_notice = [this](const hs::ServerNotice& n) {
            const std::lock_guard lock(mutex_);
            notices_.push_back(n.status);
        };
        server_ = std::make_unique<hs::AsyncHttpServer>(std::move(options));
        port_ = server_->listen("127.0.0.1", 0);
    }

    devrouter::LoopbackSocket connect() const { return devrouter::LoopbackSocket::connect_to(port_); }

    // What arrives until the peer closes, `limit` passes or what arrived
    // ends with `until`; `closed` tells whether the peer closed.
    static std::string read(const devrouter::LoopbackSocket& s, std::chrono::milliseconds limit, bool* closed = nullptr,
                            std::string_view until = {}) {
        const auto deadline = Clock::now() + limit;
        std::string got;
        char buffer[4096];
        if (closed) *closed = false;
        while (Clock::now() < deadline) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (!s.wait_readable(static_cast<int>(std::max<long long>(1, left.count())))) continue;
            const long n = s.receive(buffer, sizeof buffer);
            if (n <= 0) {
                if (closed) *closed = true;
                break;
            }
            got.append(buffer, static_cast<std::size_t>(n));
            if (!until.empty() && got.ends_with(until)) break;
        }
        return got;
    }

    int notices_with(int status) {
        const std::lock_guard lock(mutex_);
        return static_cast<int>(std::count(notices_.begin(), notices_.end(), status));
    }

    std::vector<std::string> handled() {
        const std::lock_guard lock(mutex_);
        return handled_;
    }

    std::unique_ptr<hs::AsyncHttpServer> server_;
    int port_ = 0;
    std::mutex mutex_;
    std::vector<int> notices_;
    std::vector<std::string> handled_;  // the paths the request handler was called for
    std::atomic<int> slow_started_{0};
};

hs::ServerLimits short_limits() {
    hs::ServerLimits limits;
    limits.head_timeout = 300ms;
    limits.body_timeout = 300ms;
    limits.idle_timeout = 500ms;
    limits.max_connections = 64;
    return limits;
}

TEST_F(HttpServerTest, DeadlinesEndTricklingStalledAndIdleConnections) {
    start(short_limits());
    struct Row {
        const char* what;
        std::string sent;
        const char* answer;  // start of what comes back before the close
    };
    const std::vector<Row> rows = {
        {"connected, nothing sent", "", ""},
        {"head never finished", "GET / HTTP/1.1\r\nHost: a\r\n", "HTTP/1.1 408"},
        {"body stalled", "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 10\r\n\r\nabc", "HTTP/1.1 408"},
        {"idle after an answer", "GET / HTTP/1.1\r\nHost: a\r\n\r\n", "HTTP/1.1 200"},
    };
    for (const Row& row : rows) {
        const auto s = connect();
        ASSERT_TRUE(s.send_all(row.sent)) << row.what;
        const auto started = Clock::now();
        bool closed = false;
        const std::string got = read(s, 3s, &closed);
        EXPECT_TRUE(closed) << row.what;
        EXPECT_TRUE(got.starts_with(row.answer)) << row.what << ": " << got;
        EXPECT_LT(Clock::now() - started, 2s) << row.what;
    }
    EXPECT_GE(notices_with(408), 2);
}

TEST_F(HttpServerTest, TricklingClientsDoNotDelayOthersOnOneThread) {
    // A server that waited on a trickling head would delay the request by at
    // least that head's deadline (2 s); the bound (1 s) leaves a busy machine
    // room without passing such a server.
    auto limits = short_limits();
    limits.head_timeout = 2s;
    start(limits, 1);
    std::vector<devrouter::LoopbackSocket> slow;
    for (int i = 0; i < 50; ++i) {
        slow.push_back(connect());
        ASSERT_TRUE(slow.back().send_all("G"));
    }
    for (int i = 0; i < 5; ++i) {
        const auto s = connect();
        const auto started = Clock::now();
        ASSERT_TRUE(s.send_all("POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 1\r\nConnection: close\r\n\r\nx"));
        EXPECT_TRUE(read(s, 3s).starts_with("HTTP/1.1 200"));
        EXPECT_LT(Clock::now() - started, 1s);
        for (auto& t : slow) t.send_all("E");
    }
    // The trickle never finished a head: each was closed by its deadline.
    ASSERT_TRUE(eventually([this] { return server_->open_connections() == 0; }, 10s));
}

TEST_F(HttpServerTest, PipelinedAndChunkedRequestsOnOneConnection) {
    start(short_limits());
    const auto s = connect();
    ASSERT_TRUE(s.send_all("GET /a HTTP/1.1\r\nHost: a\r\n\r\n"
                           "POST /b HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\nExpect: 100-continue\r\n\r\n"
                           "1\r\nx\r\n0\r\n\r\n"));
    const std::string got = read(s, 2s, nullptr, "ok x");
    EXPECT_TRUE(got.starts_with("HTTP/1.1 200")) << got;
    EXPECT_NE(got.find("HTTP/1.1 100 Continue"), std::string::npos) << got;
    EXPECT_TRUE(got.ends_with("ok x")) << got;
}

#if !defined(_WIN32)
// The server's end of the connection from `client_port`, found among this
// process's descriptors (the server runs in it), or -1.
int server_end(int server_port, int client_port) {
    for (int fd = 0; fd < 4096; ++fd) {
        sockaddr_in local{}, peer{};
        socklen_t size = sizeof local;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) != 0 || local.sin_family != AF_INET) continue;
        size = sizeof peer;
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) != 0) continue;
        if (ntohs(local.sin_port) == server_port && ntohs(peer.sin_port) == client_port) return fd;
    }
    return -1;
}

// Streamed events are small writes; with Nagle's algorithm on, each would
// wait for the ACK of the one before (40 ms when the peer delays it).
TEST_F(HttpServerTest, ConnectionsSendSmallWritesAtOnce) {
    start(short_limits());
    const auto s = connect();
    int fd = -1;
    ASSERT_TRUE(eventually([&] { return (fd = server_end(port_, s.local_port())) >= 0; }, 5s));
    int on = 0;
    socklen_t size = sizeof on;
    ASSERT_EQ(getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, &size), 0);
    EXPECT_NE(on, 0);
}
#endif

TEST_F(HttpServerTest, BurstPastTheLimitIsAnswered503AndNoneHangsUp) {
    auto limits = short_limits();
    limits.max_connections = 40;
    limits.head_timeout = 5s;
    start(limits, 2);
    std::vector<devrouter::LoopbackSocket> burst;
    for (int i = 0; i < 200; ++i) burst.push_back(connect());
    for (auto& s : burst) ASSERT_TRUE(s.send_all("GET / HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n"));
    int ok = 0, refused = 0;
    for (auto& s : burst) {
        const std::string got = read(s, 5s);
        ok += got.starts_with("HTTP/1.1 200");
        refused += got.starts_with("HTTP/1.1 503");
    }
    EXPECT_EQ(ok + refused, 200);
    EXPECT_GT(ok, 0);
    EXPECT_EQ(notices_with(503), refused);
}

TEST_F(HttpServerTest, StopClosesIdleConnectionsAndCutsRequestsAfterTheGrace) {
    start(short_limits());
    const auto idle = connect();
    const auto waiting = connect();
    ASSERT_TRUE(waiting.send_all("GET /slow HTTP/1.1\r\nHost: a\r\n\r\n"));
    ASSERT_TRUE(eventually([this] { return server_->open_connections() == 2 && slow_started_ == 1; }, 5s));
    const auto started = Clock::now();
    server_->stop(200ms);
    EXPECT_LT(Clock::now() - started, 1500ms);
    bool closed = false;
    EXPECT_EQ(read(idle, 1s, &closed), "");
    EXPECT_TRUE(closed);
    const std::string cut = read(waiting, 1s);
    EXPECT_TRUE(cut.starts_with("HTTP/1.1 503")) << cut;
    EXPECT_NE(cut.find("Connection: close"), std::string::npos);
    EXPECT_FALSE(connect().valid());  // no longer accepting
}

TEST_F(HttpServerTest, StrictRequestsAreRefusedAtOnceAndNoneIsReadTwoWays) {
    auto limits = short_limits();
    limits.head_timeout = 5s;
    limits.body_timeout = 5s;
    start(limits);
    const std::string chunked = "POST /a HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n";
    std::string many_trailers = chunked + "1\r\nx\r\n0\r\n";
    for (int i = 0; i < 40; ++i) many_trailers += "T: x\r\n";
    const struct {
        const char* what;
        std::string sent;
        const char* answer;
    } rows[] = {
        {"head lines ended by bare LF", "GET /a HTTP/1.1\nHost: a\n\n", "HTTP/1.1 400"},
        {"a chunk line hiding a request",
         chunked + "6;\nab\r\nabcdef\r\n0\r\n\r\nGET /hidden HTTP/1.1\r\nHost: a\r\n\r\n", "HTTP/1.1 400"},
        {"a trailer hiding a request", chunked + "0\r\nT: x\nGET /hidden HTTP/1.1\r\nHost: a\r\n\r\n", "HTTP/1.1 400"},
        {"too many trailer fields", many_trailers + "\r\n", "HTTP/1.1 431"},
        {"close in a Connection list",
         "GET /a HTTP/1.1\r\nHost: a\r\nConnection: keep-alive, close\r\n\r\nGET /hidden HTTP/1.1\r\nHost: a\r\n\r\n",
         "HTTP/1.1 200"},
        // What a handler's on_head refuses is answered before any of its body is sent.
        {"refused on its head", "POST /private HTTP/1.1\r\nHost: a\r\nContent-Length: 16000000\r\n\r\n", "HTTP/1.1 401"},
    };
    for (const auto& row : rows) {
        const auto s = connect();
        const auto started = Clock::now();
        ASSERT_TRUE(s.send_all(row.sent)) << row.what;
        bool closed = false;
        const std::string got = read(s, 4s, &closed);
        EXPECT_TRUE(got.starts_with(row.answer)) << row.what << ": " << got;
        EXPECT_EQ(got.find("HTTP/1.1", 1), std::string::npos) << row.what << ": one answer only";
        EXPECT_TRUE(closed) << row.what;
        EXPECT_LT(Clock::now() - started, 2s) << row.what;
    }
    for (const std::string& path : handled()) EXPECT_EQ(path, "/a");
    EXPECT_EQ(notices_with(400), 3);
    EXPECT_EQ(notices_with(431), 1);
}

// Each line end may be split between two reads without being taken for a bare one.
TEST_F(HttpServerTest, AHeadMayArriveAByteAtATime) {
    start(short_limits());
    const auto s = connect();
    for (const char c : std::string_view("GET /a HTTP/1.1\r\nHost: a\r\nX: y\r\n\r\n")) {
        ASSERT_FALSE(s.wait_readable(2)) << "answered before the head was whole";
        ASSERT_TRUE(s.send_all(std::string_view(&c, 1)));
    }
    EXPECT_TRUE(read(s, 3s, nullptr, "ok ").starts_with("HTTP/1.1 200"));
}

TEST_F(HttpServerTest, HeadIsAnsweredWithTheHeadOfAGetAndNoBody) {
    start(short_limits());
    const auto s = connect();
    ASSERT_TRUE(s.send_all("HEAD /a HTTP/1.1\r\nHost: a\r\n\r\n"
                           "HEAD /stream HTTP/1.1\r\nHost: a\r\n\r\n"
                           "GET /b HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n"));
    EXPECT_EQ(read(s, 3s),
              "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 3\r\n\r\n"
              "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nTransfer-Encoding: chunked\r\n\r\n"
              "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 3\r\nConnection: close\r\n\r\nok ");
}

TEST_F(HttpServerTest, RequestBodiesShareOneMemoryBudget) {
    auto limits = short_limits();
    limits.head_timeout = 5s;
    limits.body_timeout = 5s;
    limits.max_body_memory = 1u << 20;
    start(limits, 2);
    const auto post = [](std::size_t length) {
        return "POST /a HTTP/1.1\r\nHost: a\r\nContent-Length: " + std::to_string(length) + "\r\n";
    };
    // 800 kB of the MiB, taken on the head ("100 Continue" says it was).
    const auto holder = connect();
    ASSERT_TRUE(holder.send_all(post(800'000) + "Expect: 100-continue\r\n\r\n"));
    ASSERT_EQ(read(holder, 3s, nullptr, "\r\n\r\n"), "HTTP/1.1 100 Continue\r\n\r\n");

    // A declared length that does not fit: 503 at once, nothing of it read.
    const auto late = connect();
    const auto started = Clock::now();
    ASSERT_TRUE(late.send_all(post(300'000) + "\r\n"));
    bool closed = false;
    std::string got = read(late, 3s, &closed);
    EXPECT_TRUE(got.starts_with("HTTP/1.1 503")) << got;
    EXPECT_NE(got.find("Retry-After: 1\r\n"), std::string::npos) << got;
    EXPECT_TRUE(closed);
    EXPECT_LT(Clock::now() - started, 2s);

    // A chunked body is cut once it outgrows what is left.
    const auto growing = connect();
    growing.send_all("POST /a HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n40000\r\n" +
                     std::string(280'000, 'x'));
    got = read(growing, 3s, &closed);
    EXPECT_TRUE(got.starts_with("HTTP/1.1 503")) << got;
    EXPECT_TRUE(closed);

    // Once the holder's request is served, its share is back.
    ASSERT_TRUE(holder.send_all(std::string(800'000, 'x')));
    EXPECT_TRUE(read(holder, 3s, nullptr, "\r\n\r\n").starts_with("HTTP/1.1 200"));
    const auto again = connect();
    ASSERT_TRUE(again.send_all(post(300'000) + "Connection: close\r\n\r\n" + std::string(300'000, 'x')));
    got = read(again, 3s);
    EXPECT_TRUE(got.starts_with("HTTP/1.1 200")) << got.substr(0, 100);
    EXPECT_EQ(notices_with(503), 2);
}

TEST_F(HttpServerTest, AWholeRequestArrivesWithinTheRequestTimeout) {
    auto limits = short_limits();
    limits.request_timeout = 800ms;
    start(limits);
    const auto s = connect();
    const auto started = Clock::now();
    ASSERT_TRUE(s.send_all("POST /a HTTP/1.1\r\nHost: a\r\nContent-Length: 1000\r\n\r\n"));
    // A byte every 50 ms: each read well within the body deadline, the whole far past the request's.
    while (Clock::now() - started < 5s && !s.wait_readable(50)) s.send_all("x");
    bool closed = false;
    const std::string got = read(s, 2s, &closed);
    EXPECT_TRUE(got.starts_with("HTTP/1.1 408")) << got;
    EXPECT_TRUE(closed);
    EXPECT_LT(Clock::now() - started, 3s);
}

// A TLS client that offers only what a row says.
class TlsClient {
public:
    // `version`: the only protocol version offered; `ciphers`: the TLS 1.2
    // ciphers offered (all, at security level 0, when null).
    TlsClient(int port, int version, const char* ciphers)
        : ctx_(SSL_CTX_new(TLS_client_method())), socket_(devrouter::LoopbackSocket::connect_to(port)) {
        SSL_CTX_set_min_proto_version(ctx_.get(), version);
        SSL_CTX_set_max_proto_version(ctx_.get(), version);
        SSL_CTX_set_security_level(ctx_.get(), 0);
        SSL_CTX_set_cipher_list(ctx_.get(), ciphers ? ciphers : "ALL:@SECLEVEL=0");
        ssl_.reset(SSL_new(ctx_.get()));
        SSL_set_fd(ssl_.get(), static_cast<int>(socket_.native()));
        connected_ = SSL_connect(ssl_.get()) == 1;
    }
    bool connected() const { return connected_; }
    std::string cipher() const { return connected_ ? SSL_get_cipher_name(ssl_.get()) : ""; }
    // What the server sends until it closes.
    std::string read_all() {
        std::string got;
        char buffer[4096];
        for (int n; connected_ && (n = SSL_read(ssl_.get(), buffer, sizeof buffer)) > 0;)
            got.append(buffer, static_cast<std::size_t>(n));
        return got;
    }

private:
    struct Free {
        void operator()(SSL_CTX* p) const { SSL_CTX_free(p); }
        void operator()(SSL* p) const { SSL_free(p); }
    };
    std::unique_ptr<SSL_CTX, Free> ctx_;
    devrouter::LoopbackSocket socket_;
    std::unique_ptr<SSL, Free> ssl_;
    bool connected_ = false;
};

TEST_F(HttpServerTest, TlsTakesOnlyForwardSecretAeadSuitesInItsOwnOrder) {
    const TempDir dir;
    const TestCertificates certs = make_test_certificates(dir.path(), ServerKeyKind::rsa2048);
    start(short_limits(), 1, &certs);
    const struct {
        const char* what;
        int version;
        const char* ciphers;
        const char* chosen;  // "": refused
    } rows[] = {
        {"TLS 1.3, the server's first suite", TLS1_3_VERSION, nullptr, "TLS_AES_128_GCM_SHA256"},
        {"ECDHE with ChaCha20", TLS1_2_VERSION, "ECDHE-RSA-CHACHA20-POLY1305", "ECDHE-RSA-CHACHA20-POLY1305"},
        {"the server's order", TLS1_2_VERSION, "ECDHE-RSA-CHACHA20-POLY1305:ECDHE-RSA-AES256-GCM-SHA384:ECDHE-RSA-AES128-GCM-SHA256",
         "ECDHE-RSA-AES128-GCM-SHA256"},
        {"RSA key exchange", TLS1_2_VERSION, "AES128-GCM-SHA256", ""},
        {"RSA with CBC", TLS1_2_VERSION, "AES256-SHA256", ""},
        {"RSA with SHA-1", TLS1_2_VERSION, "AES128-SHA", ""},
        {"ECDHE with CBC and SHA-1", TLS1_2_VERSION, "ECDHE-RSA-AES128-SHA", ""},
        {"finite-field DHE", TLS1_2_VERSION, "DHE-RSA-AES128-GCM-SHA256", ""},
        {"TLS 1.1", TLS1_1_VERSION, nullptr, ""},
    };
    for (const auto& row : rows) {
        const TlsClient client(port_, row.version, row.ciphers);
        EXPECT_EQ(client.cipher(), row.chosen) << row.what;
    }
}

TEST_F(HttpServerTest, OverTheLimitAHandshakeGetsOneSecondThenItsAnswer) {
    const TempDir dir;
    const TestCertificates certs = make_test_certificates(dir.path());
    auto limits = short_limits();
    limits.head_timeout = 5s;
    limits.max_connections = 1;
    start(limits, 1, &certs);
    // A connection that never starts its handshake still takes the one place.
    const auto holder = connect();
    ASSERT_TRUE(eventually([this] { return server_->open_connections() == 1; }, 5s));
    const auto silent = connect();
    const auto started = Clock::now();
    bool closed = false;
    read(silent, 4s, &closed);
    EXPECT_TRUE(closed);
    EXPECT_LT(Clock::now() - started, 2500ms);
    // One that finishes its handshake in time is told why.
    TlsClient prompt(port_, TLS1_3_VERSION, nullptr);
    ASSERT_TRUE(prompt.connected());
    EXPECT_TRUE(prompt.read_all().starts_with("HTTP/1.1 503"));
}

}  // namespace
}  // namespace ossara::testing
