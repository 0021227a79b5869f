// The event-driven HTTP server shared by veilrelay-router and the proxy: its
// strict head parser and chunked decoder, and what its deadlines, its
// connection limit and its shutdown do to misbehaving and waiting clients.
#include <http_server/async_http_server.hpp>
#include <devrouter/loopback_socket.hpp>

#include "support/eventually.hpp"

#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <gtest/gtest.h>

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
        {"NUL", std::string("GET / HTTP/1.1\r\nHost: a\r\nA: b\0c\r\n", 33), 400},
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

// A server whose "/slow" requests wait 30 s (or until cut) and whose other
// requests are answered at once.
class HttpServerTest : public ::testing::Test {
protected:
    void start(hs::ServerLimits limits, std::size_t threads = 1) {
        hs::ServerOptions options;
        options.threads = threads;
        options.limits = limits;
        options.handlers.on_request = [this](hs::HttpRequest& req) -> asio::awaitable<hs::HttpResponse> {
            hs::HttpResponse res;
            if (req.path == "/slow") {
                ++slow_started_;
                asio::steady_timer wait(co_await asio::this_coro::executor, 30s);
                co_await wait.async_wait(asio::use_awaitable);
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

    std::unique_ptr<hs::AsyncHttpServer> server_;
    int port_ = 0;
    std::mutex mutex_;
    std::vector<int> notices_;
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
    start(short_limits(), 1);
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
        EXPECT_LT(Clock::now() - started, 200ms);
        for (auto& t : slow) t.send_all("E");
    }
    // The trickle never finished a head: each was closed by its deadline.
    ASSERT_TRUE(eventually([this] { return server_->open_connections() == 0; }, 5s));
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

}  // namespace
}  // namespace ossara::testing
