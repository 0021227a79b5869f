#include "http_server/async_http_server.hpp"

#include "body_budget.hpp"
#include "exclusive_port.hpp"

#include <asio/experimental/as_tuple.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/ssl.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <csignal>
#include <future>
#include <stdexcept>
#include <thread>
#include <unordered_set>

namespace ossara::http_server {

namespace {

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using TlsStream = asio::ssl::stream<tcp::socket>;
constexpr auto kAwait = asio::experimental::as_tuple(asio::use_awaitable);

// How long the server waits to hand over an answer it makes itself on a
// connection it is about to close (timeouts, refusals, shutdown).
constexpr std::chrono::milliseconds kFarewellTimeout{1000};
// After its last answer a connection is shut for sending, and what the peer
// still sends is read and dropped for this long (at most kMaxDrainBytes), so
// that closing does not reset the connection before the peer has read the answer.
constexpr std::chrono::milliseconds kDrainTimeout{1000};
constexpr std::size_t kMaxDrainBytes = 64 * 1024;
constexpr std::size_t kReadChunk = 16 * 1024;
constexpr std::size_t kBodyReadChunk = 256 * 1024;
// A connection over the limit is answered 503; under TLS it gets this long
// to finish its handshake first (a normal one takes milliseconds).
constexpr std::chrono::milliseconds kOverLimitHandshake{1000};
// What a 503 for want of room suggests to wait before trying again.
constexpr const char* kRetryAfterSeconds = "1";
// TLS 1.2 only with ephemeral ECDH and AEAD ciphers (forward secrecy, no CBC,
// no SHA-1 MACs), in the server's order of preference; TLS 1.3 as it is.
constexpr const char* kTls12Ciphers =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";
constexpr const char* kTls13Suites = "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256";

// Where a connection is; stop() treats each phase its own way.
enum class Phase { waiting, reading, handling, writing };

struct Loop {
    asio::io_context io{1};
    asio::executor_work_guard<asio::io_context::executor_type> work = asio::make_work_guard(io);
    std::unordered_set<struct Connection*> connections;  // this loop's thread only
    std::thread thread;
};

// One accepted connection, shared by its serving coroutine and its watchdog;
// touched only on its loop's thread.
struct Connection {
    Connection(Loop& l, tcp::socket& s) : loop(l), socket(s), watchdog(l.io), cut_timer(l.io) {}
    Loop& loop;
    tcp::socket& socket;  // the lowest layer, also under TLS
    asio::steady_timer watchdog;
    asio::steady_timer cut_timer;
    Clock::time_point deadline = Clock::time_point::max();
    // The end of the whole request being read; no read of it waits past this.
    Clock::time_point request_deadline = Clock::time_point::max();
    Phase phase = Phase::waiting;
    bool closed = false;
    bool timed_out = false;  // the watchdog stopped a read in the middle of a request
    bool cut = false;        // shutdown ended the handler
    std::string remote;

    void set_deadline(Clock::duration after) { set_deadline_at(Clock::now() + after); }
    // A read (or the "100 Continue") of the request under way.
    void set_read_deadline(Clock::duration after) { set_deadline_at(std::min(Clock::now() + after, request_deadline)); }
    void set_deadline_at(Clock::time_point at) {
        const bool earlier = at < deadline;
        deadline = at;
        if (earlier) watchdog.cancel();
    }
    void close() {
        asio::error_code ignored;
        socket.close(ignored);
    }
    // A request half read gets a 408: its reads are stopped, and the
    // serving coroutine answers. Anything else is simply closed.
    void expire() {
        deadline = Clock::time_point::max();
        if (phase == Phase::reading && !timed_out) {
            timed_out = true;
            asio::error_code ignored;
            socket.cancel(ignored);
        } else {
            close();
        }
    }
};

asio::awaitable<void> watch(std::shared_ptr<Connection> c) {
    while (!c->closed) {
        c->watchdog.expires_at(c->deadline);
        co_await c->watchdog.async_wait(kAwait);
        if (!c->closed && Clock::now() >= c->deadline) c->expire();
    }
}

// Appends what arrives (at most `chunk` bytes) to `buffer`.
template <typename Stream>
asio::awaitable<void> read_some(Stream& s, std::string& buffer, std::size_t chunk = kReadChunk) {
    const std::size_t old = buffer.size();
    buffer.resize(old + chunk);
    auto [ec, n] = co_await s.async_read_some(asio::buffer(buffer.data() + old, chunk), kAwait);
    buffer.resize(old + n);
    if (ec) throw std::system_error(ec);
}

// Waits for the next request to start. A plain connection holds no read
// buffer meanwhile: it waits for the socket to become readable. Under TLS
// the stream's engine may already hold the bytes read off the socket, so
// readiness says nothing: it reads.
asio::awaitable<void> wait_for_request(tcp::socket& s, std::string&) {
    auto [ec] = co_await s.async_wait(tcp::socket::wait_read, kAwait);
    if (ec) throw std::system_error(ec);
}

asio::awaitable<void> wait_for_request(TlsStream& s, std::string& buffer) { co_await read_some(s, buffer); }

}  // namespace

struct AsyncHttpServer::Impl {
    explicit Impl(ServerOptions o) : options(std::move(o)), limits(options.limits) {
        if (options.handlers.on_request == nullptr) throw std::invalid_argument("a request handler is required");
        const std::size_t n = options.threads ? options.threads : std::max(1u, std::thread::hardware_concurrency());
        for (std::size_t i = 0; i < n; ++i) loops.push_back(std::make_unique<Loop>());
        if (options.cert_file.empty() != options.key_file.empty())
            throw std::runtime_error("TLS needs both a certificate and a key");
        if (!options.cert_file.empty()) {
            tls.emplace(asio::ssl::context::tls_server);
            tls->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                             asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                             asio::ssl::context::no_tlsv1_1 | asio::ssl::context::single_dh_use);
            SSL_CTX* ctx = tls->native_handle();
            SSL_CTX_set_options(ctx, SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
            if (SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1 ||
                SSL_CTX_set_cipher_list(ctx, kTls12Ciphers) != 1 || SSL_CTX_set_ciphersuites(ctx, kTls13Suites) != 1)
                throw std::runtime_error("cannot set the TLS versions and ciphers");
            asio::error_code ec;
            tls->use_certificate_chain_file(options.cert_file, ec);
            if (ec) throw std::runtime_error("cannot load the TLS certificate " + options.cert_file + ": " + ec.message());
            tls->use_private_key_file(options.key_file, asio::ssl::context::pem, ec);
            if (ec) throw std::runtime_error("cannot load the TLS key " + options.key_file + ": " + ec.message());
        }
#if !defined(_WIN32)
        // A peer that gives up closes its end while an answer is being written.
        std::signal(SIGPIPE, SIG_IGN);
#endif
    }

    ServerOptions options;
    const ServerLimits limits;
    // Before the loops: the frames of connections that end with their
    // io_context give their shares back to it.
    BodyBudget body_budget{limits.max_body_memory};
    std::optional<asio::ssl::context> tls;
    std::vector<std::unique_ptr<Loop>> loops;
    std::optional<tcp::acceptor> acceptor;
    std::atomic<std::size_t> open{0};
    std::atomic<bool> stopping{false};
    bool stopped = false;

    void notice(const HttpRequest* request, const std::string& remote, int status, std::string message) const {
        if (options.handlers.on_notice) options.handlers.on_notice(ServerNotice{request, remote, status, std::move(message)});
    }

    HttpResponse error_page(int status, const std::string& message) const {
        HttpResponse response;
        if (options.handlers.error_page) response = options.handlers.error_page(status, message);
        else response.set_content(message + "\n", "text/plain");
        response.status = status;
        return response;
    }

    // The answer of one request, whatever happens to its handler.
    asio::awaitable<HttpResponse> run_handler(Connection& c, HttpRequest& request) {
        using namespace asio::experimental::awaitable_operators;
        if (!c.cut) {
            try {
                auto outcome = co_await (options.handlers.on_request(request) || c.cut_timer.async_wait(kAwait));
                if (outcome.index() == 0) co_return std::get<0>(std::move(outcome));
            } catch (const std::exception& e) {
                notice(&request, c.remote, 500, std::string("handler failed: ") + e.what());
                co_return error_page(500, "Internal server error");
            }
        }
        notice(&request, c.remote, 503, "request cut at shutdown");
        HttpResponse response = error_page(503, "The server is shutting down");
        response.close = true;
        co_return response;
    }

    // A whole answer; when `head_only` (HEAD), only the head a GET would get:
    // its Content-Length, or for a streamed answer its chunked coding (the
    // stream is not started).
    template <typename Stream>
    asio::awaitable<void> write_response(Stream& s, Connection& c, const HttpResponse& response,
                                         std::chrono::milliseconds timeout, bool head_only = false) {
        c.phase = Phase::writing;
        c.set_deadline(timeout);
        const std::string head = response_head(response, head_only && response.stream != nullptr);
        const std::array<asio::const_buffer, 2> pieces{asio::buffer(head),
                                                       asio::buffer(response.body.data(), head_only ? 0 : response.body.size())};
        auto [ec, n] = co_await asio::async_write(s, pieces, kAwait);
        if (ec) throw std::system_error(ec);
    }

    // A streamed answer: the head, each piece as one chunk, then the last
    // chunk. Between pieces the connection waits as long as the producer
    // does (a shutdown past its grace ends it). False when the answer did
    // not end properly: the connection must close, the peer sees a cut
    // chunked body.
    template <typename Stream>
    asio::awaitable<bool> write_stream(Stream& s, Connection& c, const HttpResponse& response) {
        using namespace asio::experimental::awaitable_operators;
        c.phase = Phase::writing;
        c.set_deadline(limits.write_timeout);
        const std::string head = response_head(response, true);
        if (auto [ec, n] = co_await asio::async_write(s, asio::buffer(head), kAwait); ec) throw std::system_error(ec);
        const StreamWrite write = [&s, &c, this](std::string_view piece) -> asio::awaitable<void> {
            if (piece.empty()) co_return;
            char size[24];
            const int length = std::snprintf(size, sizeof size, "%zx\r\n", piece.size());
            const std::array<asio::const_buffer, 3> pieces{asio::buffer(size, static_cast<std::size_t>(length)),
                                                           asio::buffer(piece), asio::buffer("\r\n", 2)};
            c.set_deadline(limits.write_timeout);
            auto [ec, n] = co_await asio::async_write(s, pieces, kAwait);
            c.set_deadline_at(Clock::time_point::max());
            if (ec) throw std::system_error(ec);
        };
        c.phase = Phase::handling;  // a shutdown cuts a stream after the grace, like a handler
        c.set_deadline_at(Clock::time_point::max());
        bool ended = false;
        if (!c.cut) {
            try {
                auto outcome = co_await (response.stream(write) || c.cut_timer.async_wait(kAwait));
                ended = outcome.index() == 0;
            } catch (const std::system_error&) {
                throw;  // the connection failed
            } catch (const std::exception& e) {
                notice(nullptr, c.remote, 0, std::string("stream failed: ") + e.what());
            }
        }
        if (!ended) co_return false;
        c.phase = Phase::writing;
        c.set_deadline(limits.write_timeout);
        static constexpr std::string_view kLastChunk = "0\r\n\r\n";
        if (auto [ec, n] = co_await asio::async_write(s, asio::buffer(kLastChunk), kAwait); ec)
            throw std::system_error(ec);
        co_return true;
    }

    // An answer the server makes itself, after which the connection ends.
    // A 503 for want of room says when to try again.
    template <typename Stream>
    asio::awaitable<void> farewell(Stream& s, Connection& c, const HttpRequest* request, int status,
                                   const std::string& message) {
        notice(request, c.remote, status, message);
        HttpResponse response = error_page(status, message);
        response.close = true;
        if (status == 503 && !stopping) response.set_header("Retry-After", kRetryAfterSeconds);
        co_await write_response(s, c, response, kFarewellTimeout, request && request->method == "HEAD");
    }

    // Room in `body` for `more` bytes (at most up to `max_body` in all),
    // taken from the budget before it is allocated; false when the budget
    // has none left.
    static bool make_room(std::string& body, std::size_t more, std::size_t max_body, BodyShare& share) {
        const std::size_t needed = body.size() + std::min(more, max_body - std::min(max_body, body.size()));
        if (needed <= body.capacity()) return true;
        // Doubling, as the string would, but within the limit and paid for first.
        const std::size_t wanted = std::max(needed, std::min(2 * body.capacity(), max_body));
        if (!share.grow_to(wanted)) return false;
        body.reserve(wanted);
        return share.grow_to(body.capacity());
    }

    template <typename Stream>
    asio::awaitable<void> serve(Stream& s, Connection& c) {
        std::string buffer;
        bool first = true;
        for (;;) {
            // Waiting for a request: no buffer is held while idle.
            c.phase = Phase::waiting;
            if (stopping) co_return;
            if (buffer.empty()) {
                c.set_deadline(first ? limits.head_timeout : limits.idle_timeout);
                co_await wait_for_request(s, buffer);
            }
            // The request has begun: all of it must arrive within the request timeout.
            c.phase = Phase::reading;
            c.request_deadline = Clock::now() + limits.request_timeout;
            c.set_read_deadline(limits.head_timeout);
            std::size_t head_end;
            std::size_t scanned = 0;  // what was searched already, so that a trickle costs no rescans
            while ((head_end = buffer.find("\r\n\r\n", scanned)) == std::string::npos) {
                if (buffer.size() > limits.max_head_bytes) {
                    co_return co_await farewell(s, c, nullptr, 431, "Request head too large");
                }
                // A line ended by a bare LF is refused now rather than at the deadline.
                if (has_bare_cr_or_lf(buffer, scanned))
                    co_return co_await farewell(s, c, nullptr, 400, "Bare CR or LF in the request head");
                scanned = buffer.size() < 3 ? 0 : buffer.size() - 3;
                co_await read_some(s, buffer);
            }
            if (head_end + 4 > limits.max_head_bytes)
                co_return co_await farewell(s, c, nullptr, 431, "Request head too large");
            auto parsed = parse_request_head(std::string_view(buffer).substr(0, head_end + 2), {limits.max_headers});
            if (auto* error = std::get_if<HeadError>(&parsed))
                co_return co_await farewell(s, c, nullptr, error->status, error->message);
            HttpRequest request = std::move(std::get<HttpRequest>(parsed));
            request.remote = c.remote;
            buffer.erase(0, head_end + 4);
            first = false;
            const bool head_only = request.method == "HEAD";

            if (options.handlers.on_head) {
                if (auto refusal = options.handlers.on_head(request)) {
                    // The body stays unread: the connection cannot carry another request.
                    refusal->close = true;
                    co_return co_await write_response(s, c, *refusal, limits.write_timeout, head_only);
                }
            }
            const BodyFraming framing = body_framing(request);
            if (framing.kind == BodyFraming::Kind::length && framing.length > limits.max_body_bytes)
                co_return co_await farewell(s, c, &request, 413, "Request body too large");
            // The body's share of the memory budget, taken before any of it is read.
            BodyShare share(body_budget);
            if (framing.kind == BodyFraming::Kind::length && !share.grow_to(framing.length))
                co_return co_await farewell(s, c, &request, 503, "Too many request bodies at once");
            if (framing.kind != BodyFraming::Kind::none && request.header("Expect") == "100-continue") {
                static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
                c.set_read_deadline(limits.write_timeout);
                auto [ec, n] = co_await asio::async_write(s, asio::buffer(kContinue), kAwait);
                if (ec) throw std::system_error(ec);
            }
            if (framing.kind == BodyFraming::Kind::length) {
                // Read straight into the body, allocated once at its length.
                request.body.reserve(framing.length);
                const std::size_t buffered = std::min(buffer.size(), framing.length);
                request.body.assign(buffer, 0, buffered);
                buffer.erase(0, buffered);
                while (request.body.size() < framing.length) {
                    c.set_read_deadline(limits.body_timeout);
                    co_await read_some(s, request.body, std::min(kBodyReadChunk, framing.length - request.body.size()));
                }
            } else if (framing.kind == BodyFraming::Kind::chunked) {
                ChunkedDecoder decoder(
                    ChunkedLimits{limits.max_body_bytes, limits.max_trailer_fields, limits.max_trailer_bytes});
                for (;;) {
                    if (!make_room(request.body, buffer.size(), limits.max_body_bytes, share))
                        co_return co_await farewell(s, c, &request, 503, "Too many request bodies at once");
                    const auto [state, used] = decoder.feed(buffer, request.body);
                    buffer.erase(0, used);
                    if (state == ChunkedDecoder::State::done) break;
                    if (state == ChunkedDecoder::State::too_large)
                        co_return co_await farewell(s, c, &request, 413, "Request body too large");
                    if (state == ChunkedDecoder::State::trailer_too_large)
                        co_return co_await farewell(s, c, &request, 431, "Request trailer fields too large");
                    if (state == ChunkedDecoder::State::malformed)
                        co_return co_await farewell(s, c, &request, 400, "Malformed chunked body");
                    c.set_read_deadline(limits.body_timeout);
                    co_await read_some(s, buffer);
                }
            }
            c.request_deadline = Clock::time_point::max();

            // The read buffer is not needed while the handler works (which
            // may be seconds, for thousands of connections at once), unless
            // the client already pipelined its next request.
            if (buffer.empty()) std::string().swap(buffer);
            c.phase = Phase::handling;
            c.set_deadline_at(Clock::time_point::max());
            HttpResponse response = co_await run_handler(c, request);
            // The handler is done with the body: its memory and its share go back.
            std::string().swap(request.body);
            share.release();
            if (stopping || !keeps_alive(request)) response.close = true;
            if (response.stream && !head_only) {
                if (!co_await write_stream(s, c, response)) co_return;
            } else {
                co_await write_response(s, c, response, limits.write_timeout, head_only);
            }
            if (response.close) co_return;
        }
    }

    // Serves one connection and ends it: shut for sending, the rest of what
    // the peer sends dropped for a moment, then closed.
    template <typename Stream>
    asio::awaitable<void> run(Stream& s, std::shared_ptr<Connection> c, bool over_limit) {
        try {
            if constexpr (std::is_same_v<Stream, TlsStream>) {
                c->set_deadline(over_limit ? std::min(limits.head_timeout, kOverLimitHandshake) : limits.head_timeout);
                c->phase = Phase::reading;
                auto [ec] = co_await s.async_handshake(asio::ssl::stream_base::server, kAwait);
                // Without a session there is no one to answer: closed at once.
                if (ec) co_return;
            }
            if (over_limit) co_await farewell(s, *c, nullptr, 503, "Too many connections");
            else co_await serve(s, *c);
        } catch (const std::system_error&) {
        }
        // (No co_await inside a handler: the late answer is written here.)
        if (c->timed_out && c->socket.is_open()) {
            try {
                co_await farewell(s, *c, nullptr, 408, "Request not received in time");
            } catch (const std::system_error&) {
            }
        }
        try {
            asio::error_code ignored;
            c->socket.shutdown(tcp::socket::shutdown_send, ignored);
            c->phase = Phase::writing;
            // At shutdown the drain is short: the process must end soon after the grace.
            c->set_deadline(stopping ? kDrainTimeout / 10 : kDrainTimeout);
            std::string drained;
            while (drained.size() < kMaxDrainBytes && c->socket.is_open()) {
                co_await read_some(c->socket, drained, 4096);
            }
        } catch (const std::system_error&) {
        }
    }

    template <typename Stream>
    asio::awaitable<void> attend(Loop& loop, Stream& stream, tcp::socket& lowest, bool over_limit) {
        auto c = std::make_shared<Connection>(loop, lowest);
        asio::error_code ec;
        const auto peer = lowest.remote_endpoint(ec);
        if (!ec) c->remote = peer.address().to_string() + ":" + std::to_string(peer.port());
        c->cut_timer.expires_at(Clock::time_point::max());
        loop.connections.insert(c.get());
        asio::co_spawn(loop.io, watch(c), asio::detached);
        co_await run(stream, c, over_limit);
        c->closed = true;
        c->watchdog.cancel();
        c->close();
        loop.connections.erase(c.get());
    }

    asio::awaitable<void> connection(Loop& loop, tcp::socket socket, bool over_limit) {
        // A streamed answer is many small writes: each event must leave when
        // written, not wait (up to the peer's delayed ACK, ~40 ms) behind the
        // one before it. Whole answers go out in one write either way.
        asio::error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        if (tls) {
            TlsStream stream(std::move(socket), *tls);
            co_await attend(loop, stream, stream.next_layer(), over_limit);
        } else {
            co_await attend(loop, socket, socket, over_limit);
        }
        if (!over_limit) --open;
    }

    asio::awaitable<void> accept_loop() {
        std::size_t next = 0;
        asio::steady_timer pause(loops.front()->io);
        for (;;) {
            Loop& loop = *loops[next++ % loops.size()];
            auto [ec, socket] = co_await acceptor->async_accept(loop.io, kAwait);
            if (stopping || !acceptor->is_open()) co_return;
            if (ec) {
                // Out of descriptors or the like: wait a little instead of spinning.
                notice(nullptr, {}, 0, "accept failed: " + ec.message());
                pause.expires_after(std::chrono::milliseconds(50));
                co_await pause.async_wait(kAwait);
                continue;
            }
            const bool over_limit = open.load() >= limits.max_connections;
            if (!over_limit) ++open;
            asio::co_spawn(loop.io, connection(loop, std::move(socket), over_limit), asio::detached);
        }
    }

    // Runs `action` on every loop's thread and waits until each has.
    template <typename Action>
    void on_every_loop(Action action) {
        for (auto& loop : loops) {
            std::promise<void> done;
            auto finished = done.get_future();
            asio::post(loop->io, [&] {
                action(*loop);
                done.set_value();
            });
            if (finished.wait_for(std::chrono::seconds(5)) != std::future_status::ready) return;
        }
    }

    bool wait_until_closed(std::chrono::milliseconds within) const {
        const auto until = Clock::now() + within;
        while (open.load() > 0 && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return open.load() == 0;
    }
};

AsyncHttpServer::AsyncHttpServer(ServerOptions options) : impl_(std::make_shared<Impl>(std::move(options))) {}

AsyncHttpServer::~AsyncHttpServer() { stop(); }

int AsyncHttpServer::listen(const std::string& host, int port) {
    Impl& d = *impl_;
    if (d.acceptor || d.stopped) throw std::logic_error("server already listening");
    asio::io_context& io = d.loops.front()->io;
    try {
        tcp::resolver resolver(io);
        const auto endpoints = resolver.resolve(host, std::to_string(port), tcp::resolver::passive);
        if (endpoints.empty()) throw std::runtime_error("no address");
        const tcp::endpoint endpoint = endpoints.begin()->endpoint();
        d.acceptor.emplace(io, endpoint.protocol());
#if defined(_WIN32)
        // Not SO_REUSEADDR there: see exclusive_port.hpp (the proxy's connections are clear text).
        if (!take_port_alone(d.acceptor->native_handle()))
            throw std::runtime_error("cannot take the port for this socket alone");
#else
        d.acceptor->set_option(tcp::acceptor::reuse_address(true));
#endif
        d.acceptor->bind(endpoint);
        d.acceptor->listen(asio::socket_base::max_listen_connections);
    } catch (const std::exception& e) {
        d.acceptor.reset();
        throw std::runtime_error("cannot listen on " + host + ":" + std::to_string(port) + ": " + e.what());
    }
    const int bound = d.acceptor->local_endpoint().port();
    asio::co_spawn(io, d.accept_loop(), asio::detached);
    for (auto& loop : d.loops) loop->thread = std::thread([&io = loop->io] { io.run(); });
    return bound;
}

void AsyncHttpServer::stop(std::chrono::milliseconds grace) {
    Impl& d = *impl_;
    if (d.stopped) return;
    d.stopped = true;
    d.stopping = true;
    if (d.acceptor) {
        // No new connections, and idle ones end now; requests in flight go on.
        asio::post(d.loops.front()->io, [&d] {
            asio::error_code ignored;
            d.acceptor->close(ignored);
        });
        d.on_every_loop([](Loop& loop) {
            for (Connection* c : loop.connections)
                if (c->phase == Phase::waiting) c->close();
        });
        if (!d.wait_until_closed(grace)) {
            d.on_every_loop([](Loop& loop) {
                for (Connection* c : loop.connections) {
                    if (c->phase == Phase::handling) {
                        c->cut = true;
                        c->cut_timer.cancel();
                    } else if (c->phase != Phase::writing) {
                        c->close();
                    }
                }
            });
            // The cut answers are short; what does not end in time goes with the loops.
            d.wait_until_closed(std::chrono::milliseconds(800));
        }
    }
    for (auto& loop : d.loops) {
        loop->work.reset();
        loop->io.stop();
    }
    for (auto& loop : d.loops)
        if (loop->thread.joinable()) loop->thread.join();
    // Frames of connections that did not end in time go with their
    // io_context, when the server is destroyed: until then, work from other
    // threads may still be posted to the loops.
}

std::size_t AsyncHttpServer::open_connections() const { return impl_->open.load(); }

std::size_t AsyncHttpServer::thread_count() const { return impl_->loops.size(); }

std::vector<asio::io_context*> AsyncHttpServer::loop_contexts() const {
    std::vector<asio::io_context*> contexts;
    for (const auto& loop : impl_->loops) contexts.push_back(&loop->io);
    return contexts;
}

}  // namespace ossara::http_server
