// A router (or anything on the path) that answers with hostile data: deep
// nesting, endless or lying bodies, drips, redirects, substituted keys. Each
// case must end in its typed error, within its memory bound, with the
// process alive; cancellation at any point must be a CancelledError.
#include "exchange_fixture.hpp"

#include "codec/json_writer.hpp"
#include "core/logging.hpp"
#include "crypto/crypto.hpp"
#include "devrouter/test_servers.hpp"
#include "router_protocol/package_crypto.hpp"
#include "router_protocol/stream_seal.hpp"
#include "exchange/stream_reader.hpp"
#include "support/hostile_peer.hpp"
#include "support/process_probe.hpp"
#include "support/small_stack.hpp"
#include "support/test_certs.hpp"
#include "support/test_data.hpp"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>
#include <typeinfo>

namespace ossara::testing {
namespace {

std::string detail_fingerprint(const std::string& pem) {
    return detail::public_key_fingerprint(detail::load_public_key_pem(pem).get());
}

std::string nested_arrays(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }
std::vector<std::uint8_t> bytes_of(const std::string& text) { return {text.begin(), text.end()}; }

template <class T>
std::exception_ptr outcome_of(asio::awaitable<T> operation) {
    try {
        (void)run_awaitable(std::move(operation), std::chrono::seconds(60));
    } catch (...) {
        return std::current_exception();
    }
    return nullptr;
}

// The error `outcome` holds must be exactly E with this message.
template <class E>
void expect_error(std::exception_ptr outcome, const std::string& message) {
    ASSERT_TRUE(outcome) << "no error";
    try {
        std::rethrow_exception(outcome);
    } catch (const E& e) {
        EXPECT_EQ(typeid(e), typeid(E)) << e.what();
        EXPECT_EQ(std::string(e.what()), message);
    } catch (const std::exception& e) {
        ADD_FAILURE() << "threw " << typeid(e).name() << ": " << e.what();
    }
}

class HostileRouterTest : public ExchangeTest {
protected:
    // A response package sealed for the test client, with `processed_at`
    // spliced in as raw JSON text.
    std::string sealed_answer(const std::string& plaintext, const std::string& processed_at) const {
        const auto client_key = ossara::router_protocol::load_public_key(vectors()["client_public_key_pem"].get<std::string>());
        std::string text = ossara::router_protocol::seal_package(plaintext, client_key.get()).dump();
        text.pop_back();
        return text + ", \"processed_at\": " + processed_at + "}";
    }

    HostileAnswer with_key(HostileAnswer answer) const {
        answer.key_pem = router_->public_key_pem();
        return answer;
    }

    Veilrelay client_of(const HostilePeer& peer) const {
        Veilrelay client(peer.base_url(), /*allow_http=*/true);
        client.load_keys(key_path_.string());
        detail::ClientTestAccess::set_http_limits(client, {std::chrono::milliseconds(2000), std::chrono::seconds(1)});
        return client;
    }
};

TEST_F(HostileRouterTest, DeepValuesAreRefusedOrMovedOnASmallStack) {
    Veilrelay client = make_client();
    const std::string answer = R"({"id": "a", "choices": []})";
    run_on_small_stack([&] {
        // A processed_at beyond the bound: the package is malformed.
        expect_error<ValueError>(outcome_of(client.decrypt_response(bytes_of(sealed_answer(answer, nested_arrays(30000))), "p")),
                                 "Invalid encrypted package format: malformed JSON");
        // Within it, the value reaches _metadata unchanged.
        const json ok = run_awaitable(client.decrypt_response(bytes_of(sealed_answer(answer, nested_arrays(900))), "p"));
        EXPECT_EQ(detail::serialise_json(ok["_metadata"]["processed_at"]).size(), 2 * 900);
        // A decrypted answer beyond the bound is not valid JSON.
        const std::string deep_answer = R"({"a": )" + nested_arrays(100000) + "}";
        const auto outcome = outcome_of(client.decrypt_response(bytes_of(sealed_answer(deep_answer, "1")), "p"));
        ASSERT_TRUE(outcome);
        try {
            std::rethrow_exception(outcome);
        } catch (const ValueError& e) {
            EXPECT_TRUE(std::string(e.what()).starts_with("Decrypted response is not valid JSON: ")) << e.what();
        }
    });
}

TEST_F(HostileRouterTest, DeepErrorBodiesTakeTheirRowsFallbackOnASmallStack) {
    const std::string deep = nested_arrays(30000);
    struct Case {
        int status;
        std::string body;
        std::function<void(std::exception_ptr)> check;
    };
    const std::vector<Case> cases{
        {400, deep, [](auto e) { expect_error<InvalidRequestError>(e, "Bad request: Invalid response format"); }},
        {401, R"({"detail": "no", "x": )" + deep + "}",
         [](auto e) { expect_error<AuthenticationError>(e, "Invalid API key or authentication failed"); }},
        {502, R"({"detail": )" + deep + "}", [](auto e) { expect_error<APIError>(e, "Unexpected status code: 502 unknown"); }},
        // A deep detail within the bound is written by the project's writer, and the body moved into the details.
        {400, R"({"detail": )" + nested_arrays(900) + "}",
         [](auto e) {
             try {
                 std::rethrow_exception(e);
             } catch (const InvalidRequestError& error) {
                 EXPECT_EQ(std::string(error.what()).size(), std::string("Bad request: ").size() + 2 * 900);
                 EXPECT_TRUE(error.error_details.has_value());
             }
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        HostilePeer peer(with_key(HostileAnswer::with_body(c.status, c.body)));
        Veilrelay client = client_of(peer);
        run_on_small_stack([&] { c.check(outcome_of(client.send_secure_request(chat_payload("x"), "p"))); });
    }
}

TEST_F(HostileRouterTest, EveryHostileAnswerEndsInItsTypedError) {
    detail::log();  // the library registers its logger on first use
    LogCapture log("ossara.Veilrelay");
    const std::string junk(64 * 1024, 'x');
    const devrouter::SilentListener elsewhere;
    struct Case {
        const char* name;
        HostileAnswer answer;
        bool key_is_hostile;  // the key retrieval gets the hostile answer, else the exchange does
        std::function<void(std::exception_ptr)> check;
    };
    auto unexpected = [](auto e) { expect_error<APIConnectionError>(e, "Request failed due to an unexpected error"); };
    auto key_failed = [](auto e) { expect_error<ValueError>(e, "Failed to fetch server's public key"); };
    HostileAnswer drip = HostileAnswer::with_body(200, router_->public_key_pem());
    drip.drip = std::chrono::milliseconds(1500);
    HostileAnswer lying = HostileAnswer::with_body(200, "{}");
    lying.head = "HTTP/1.1 200 OK\r\nContent-Length: 100000000000\r\nConnection: close\r\n\r\n";
    const std::vector<Case> cases{
        {"endless 200 body", HostileAnswer::endless_body(200, junk), false, unexpected},
        {"endless error body", HostileAnswer::endless_body(429, junk), false,
         [](auto e) { expect_error<RateLimitError>(e, "Rate limit exceeded: Too many requests"); }},
        {"endless key", HostileAnswer::endless_body(200, junk), true, key_failed},
        {"declared length far above what is sent", lying, false, unexpected},
        {"declared length far above, key", lying, true, key_failed},
        {"slow drip of the key", drip, true, [](auto e) { expect_error<ConnectionError>(e, "Connection to server timed out"); }},
        {"gzip-encoded package", HostileAnswer::with_body(200, std::string("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03", 10),
                                                          "Content-Encoding: gzip\r\n"),
         false, unexpected},
        {"redirect to another port",
         HostileAnswer::with_body(302, "", "Location: " + elsewhere.base_url() + "/v1/chat/secure_completion\r\n"), false,
         [](auto e) { expect_error<APIError>(e, "Unexpected status code: 302 unknown"); }},
        {"redirect of the key", HostileAnswer::with_body(302, "", "Location: " + elsewhere.base_url() + "/pki/public_key\r\n"),
         true, [](auto e) { expect_error<ValueError>(e, "Failed to fetch server's public key: HTTP 302"); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const HostilePeer peer(c.key_is_hostile ? c.answer : with_key(c.answer));
        Veilrelay client = client_of(peer);
        client.set_max_response_size(1024 * 1024);
        const auto started = std::chrono::steady_clock::now();
        c.check(c.key_is_hostile ? outcome_of(client.fetch_server_public_key())
                                 : outcome_of(client.send_secure_request(chat_payload("x"), "p")));
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
        if (c.key_is_hostile) {
            EXPECT_EQ(peer.posts(), 0u);
        }
    }
    // The over-limit failure's record names the limit.
    bool named = false;
    for (const auto& line : log.lines_at(spdlog::level::err))
        named = named || line.find("exceeds the limit of 1048576 bytes") != std::string::npos;
    EXPECT_TRUE(named);
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// Peak resident memory while an endless body arrives stays below each bound
// plus 32 MiB (measured from the resident size before, peak reset first).
TEST_F(HostileRouterTest, PeakMemoryAgainstEndlessBodiesStaysWithinItsBound) {
    if (kSanitized) GTEST_SKIP() << "resident memory is the sanitizer's, not ours";
    if (!ossara::testing::reset_peak_resident()) GTEST_SKIP() << "the resident peak cannot be reset here";
    constexpr std::size_t kSlack = 32 * 1024 * 1024;
    const std::string chunk(256 * 1024, 'x');
    struct Case {
        const char* name;
        HostileAnswer answer;
        bool key;
        std::size_t bound;
    };
    const std::vector<Case> cases{
        {"200 body", with_key(HostileAnswer::endless_body(200, chunk)), false, Veilrelay::DEFAULT_MAX_RESPONSE_SIZE},
        {"error body", with_key(HostileAnswer::endless_body(500, chunk)), false, 1024 * 1024},
        {"key body", HostileAnswer::endless_body(200, chunk), true, 64 * 1024},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const HostilePeer peer(c.answer);
        Veilrelay client = client_of(peer);
        const auto before = static_cast<std::size_t>(std::max(0L, ossara::testing::resident_bytes()));
        ossara::testing::reset_peak_resident();  // from the size just read
        const auto outcome = c.key ? outcome_of(client.fetch_server_public_key())
                                   : outcome_of(client.send_secure_request(chat_payload("x"), "p"));
        EXPECT_TRUE(outcome);
        const auto peak = static_cast<std::size_t>(ossara::testing::peak_resident_bytes().value_or(0));
        std::printf("peak resident growth against an endless %s: %.1f MiB (bound %.1f MiB + 32 MiB); %zu bytes sent\n",
                    c.name, static_cast<double>(peak - std::min(peak, before)) / (1024 * 1024),
                    static_cast<double>(c.bound) / (1024 * 1024), peer.bytes_sent());
        EXPECT_LT(peak - std::min(peak, before), c.bound + kSlack);
    }
}

TEST_F(HostileRouterTest, ErrorBodiesAreReadLikePackages) {
    HostilePeer peer(with_key(HostileAnswer::with_body(429, R"({"detail": "slow", "retry": NaN, "after": 1e400})")));
    Veilrelay client = client_of(peer);
    try {
        run_awaitable(client.send_secure_request(chat_payload("x"), "p"));
        ADD_FAILURE() << "no error";
    } catch (const RateLimitError& e) {
        EXPECT_EQ(std::string(e.what()), "Rate limit exceeded: slow");
        ASSERT_TRUE(e.error_details.has_value());
        EXPECT_TRUE(std::isnan((*e.error_details)["retry"].get<double>()));
        EXPECT_EQ((*e.error_details)["after"].get<double>(), HUGE_VAL);
    }
}

TEST_F(HostileRouterTest, PayloadIdIsAlwaysSent) {
    for (const std::string id : {"", "   ", " a b "}) {
        SCOPED_TRACE("'" + id + "'");
        HostilePeer peer(with_key(HostileAnswer::with_body(400, "{}")));
        Veilrelay client = client_of(peer);
        EXPECT_THROW(run_awaitable(client.send_secure_request(chat_payload("x"), id)), InvalidRequestError);
        ASSERT_EQ(peer.posts(), 1u);
        const std::string head = peer.requests().back();
        // Blanks around a header value are not part of it for any receiver.
        const std::string value = id.find_first_not_of(' ') == std::string::npos ? "" : " " + id;
        EXPECT_NE(head.find("\r\nX-Payload-ID:" + value + "\r\n"), std::string::npos) << head;
    }
}

// Cancels after k handler runs, for every k until the exchange completes.
// Each run sends its own payload ID: a cancelled run's connection may still
// wait in the router's backlog when the router looks idle, and its requests
// are then recorded during a later run.
TEST_F(HostileRouterTest, CancellationAtAnyMomentIsACancelledError) {
    Veilrelay client = make_client();
    bool between_retrieval_and_post = false;
    const auto posts_of = [](const std::vector<devrouter::RecordedRequest>& requests, const std::string& id) {
        return std::count_if(requests.begin(), requests.end(),
                             [&id](const auto& r) { return r.method == "POST" && r.header("X-Payload-ID") == id; });
    };
    for (int k = 1; k < 2000; ++k) {
        SCOPED_TRACE("k = " + std::to_string(k));
        const std::string id = "p" + std::to_string(k);
        LogCapture log("ossara.Veilrelay");
        asio::io_context io;
        asio::cancellation_signal cancel;
        std::exception_ptr outcome;
        bool finished = false;
        asio::co_spawn(io, client.send_secure_request(chat_payload("x"), id),
                       asio::bind_cancellation_slot(cancel.slot(), [&](std::exception_ptr e, json) {
                           outcome = e;
                           finished = true;
                       }));
        for (int i = 0; i < k && !finished; ++i) io.run_one_for(std::chrono::seconds(10));
        if (finished) {
            EXPECT_FALSE(outcome);
            EXPECT_TRUE(between_retrieval_and_post);
            EXPECT_EQ(posts_of(router_->requests(), id), 1);
            return;
        }
        cancel.emit(asio::cancellation_type::terminal);
        io.run_for(std::chrono::seconds(10));
        ASSERT_TRUE(finished);
        ASSERT_TRUE(outcome);
        try {
            std::rethrow_exception(outcome);
        } catch (const CancelledError&) {
        } catch (const std::system_error& e) {
            // Asio's own: the coroutine had not started.
            EXPECT_FALSE(log.contains("Sending secure chat completion request...")) << e.what();
        } catch (const std::exception& e) {
            ADD_FAILURE() << typeid(e).name() << ": " << e.what();
        }
        EXPECT_TRUE(log.lines_at(spdlog::level::err).empty());
        // The router's log once it has served the cancelled connection to
        // its end: at most one POST, and none when the key was all that was
        // fetched.
        ASSERT_TRUE(router_->wait_until_idle(std::chrono::seconds(10)));
        const auto requests = router_->requests();
        router_->clear_requests();
        const auto posts = posts_of(requests, id);
        EXPECT_LE(posts, 1);
        const bool fetched_key =
            std::any_of(requests.begin(), requests.end(), [](const auto& r) { return r.method == "GET"; });
        between_retrieval_and_post = between_retrieval_and_post || (fetched_key && posts == 0);
    }
    ADD_FAILURE() << "the exchange never completed";
}

TEST_F(HostileRouterTest, PinnedKeyRefusesASubstitutedKeyBeforeAnyPost) {
    const std::string pin = detail_fingerprint(router_->public_key_pem());
    Veilrelay client = make_client();
    EXPECT_THROW(client.pin_server_key("ab:cd"), ValueError);
    EXPECT_THROW(client.pin_server_key(std::string(64, 'g')), ValueError);

    client.pin_server_key(pin);
    EXPECT_NO_THROW(run_awaitable(client.send_secure_request(chat_payload("x"), "p")));
    EXPECT_EQ(posts_seen(), 1u);

    // The router's key swapped for another one: refused, nothing posted.
    router_->clear_requests();
    const std::string other = vectors()["client_public_key_pem"].get<std::string>();
    router_->set_key_behaviour(devrouter::KeyBehaviour::serve(other));
    LogCapture log("ossara.Veilrelay");
    expect_error<SecurityError>(outcome_of(client.send_secure_request(chat_payload("x"), "p")),
                                "Server public key does not match the pinned key");
    expect_error<SecurityError>(outcome_of(client.encrypt_payload(chat_payload("x"))),
                                "Server public key does not match the pinned key");
    EXPECT_EQ(posts_seen(), 0u);
    const auto errors = log.lines_at(spdlog::level::err);
    ASSERT_FALSE(errors.empty());
    EXPECT_NE(errors[0].find(pin), std::string::npos);
    EXPECT_NE(errors[0].find(detail_fingerprint(other)), std::string::npos);

    // Without colons and in capitals, the same pin.
    std::string bare;
    for (const char c : pin)
        if (c != ':') bare += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    client.pin_server_key(bare);
    EXPECT_EQ(client.pinned_server_key(), pin);
}

// Several pins (a key rotation): the router's key must match any one of them.
TEST_F(HostileRouterTest, AnyOfSeveralPinsAdmitsTheRoutersKey) {
    const std::string pin = detail_fingerprint(router_->public_key_pem());
    const std::string other = detail_fingerprint(vectors()["client_public_key_pem"].get<std::string>());
    std::string third = "00";
    for (int pair = 1; pair < 32; ++pair) third += ":00";
    struct Row {
        const char* what;
        std::vector<std::string> pins;
        bool admitted;
    } rows[] = {
        {"none", {}, true},
        {"only the router's", {pin}, true},
        {"the router's last", {other, third, pin}, true},
        {"two others", {other, third}, false},
    };
    Veilrelay client = make_client();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        router_->clear_requests();
        client.pin_server_keys(row.pins);
        EXPECT_EQ(client.pinned_server_keys().size(), row.pins.size());
        LogCapture log("ossara.Veilrelay");
        const auto outcome = outcome_of(client.send_secure_request(chat_payload("x"), "p"));
        if (row.admitted) {
            EXPECT_FALSE(outcome);
            EXPECT_EQ(posts_seen(), 1u);
            continue;
        }
        expect_error<SecurityError>(outcome, "Server public key does not match the pinned key");
        EXPECT_EQ(posts_seen(), 0u);
        const auto errors = log.lines_at(spdlog::level::err);
        ASSERT_FALSE(errors.empty());
        for (const auto& p : row.pins) EXPECT_NE(errors[0].find(p), std::string::npos) << errors[0];
    }
    // One malformed fingerprint among good ones leaves the pins as they were.
    client.pin_server_keys({pin, other});
    EXPECT_THROW(client.pin_server_keys({third, "ab:cd"}), ValueError);
    EXPECT_EQ(client.pinned_server_keys(), (std::vector<std::string>{pin, other}));
    client.pin_server_key(std::nullopt);
    EXPECT_TRUE(client.pinned_server_keys().empty());
}

// Proxy variables in the environment are ignored; an explicit proxy is used.
TEST_F(HostileRouterTest, ProxiesComeOnlyFromTheClient) {
    const devrouter::ClosedPort closed;
    const std::string dead = closed.base_url();
    const char* names[] = {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "ALL_PROXY", "all_proxy"};
    for (const char* name : names) set_environment(name, dead);
    set_environment("NO_PROXY", "");
    Veilrelay direct = make_client();
    const auto outcome = outcome_of(direct.send_secure_request(chat_payload("x"), "p"));
    for (const char* name : names) unset_environment(name);
    unset_environment("NO_PROXY");
    EXPECT_FALSE(outcome);

    // HTTPS through a CONNECT proxy on loopback.
    const TempDir dir;
    const TestCertificates certs = make_test_certificates(dir.path());
    devrouter::RouterOptions options;
    options.tls_cert_file = certs.cert_file.string();
    options.tls_key_file = certs.key_file.string();
    start_router(options);
    const ConnectProxy proxy;
    Veilrelay client(router_->base_url());
    client.load_keys(key_path_.string());
    client.set_ca_file(certs.ca_file.string());
    client.set_proxy(proxy.url());
    const json answer = run_awaitable(client.send_secure_request(chat_payload("through"), "p"));
    EXPECT_EQ(answer["choices"][0]["message"]["content"], "through");
    const std::string target = "127.0.0.1:" + std::to_string(router_->port());
    EXPECT_EQ(proxy.targets(), (std::vector<std::string>{target, target}));
}

// --- streamed answers --------------------------------------------------------

// Every fault of the development router's streams ends in its typed error,
// and only the chunks before the fault are handed over.
TEST_F(HostileRouterTest, EveryStreamFaultEndsInItsErrorAfterTheVerifiedChunksOnly) {
    using devrouter::StreamFault;
    struct Case {
        StreamFault fault;
        std::size_t chunks_before;  // handed over before the error
        std::string message_part;
        bool status_error = false;
    };
    const std::vector<Case> cases{
        {StreamFault::truncate, 4, "truncated"},
        {StreamFault::reorder, 1, "out of order or repeated"},
        {StreamFault::repeat, 2, "out of order or repeated"},
        {StreamFault::corrupt_tag, 1, "failed authentication"},
        {StreamFault::trailing, 4, "after the final chunk"},
        {StreamFault::error_end, 2, "Service unavailable: The model server is overloaded", true},
    };
    Veilrelay client = make_client();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message_part);
        router_->set_completion_behaviour(devrouter::CompletionBehaviour::streamed(c.fault));
        const StreamOutcome out = run_awaitable(read_stream(client, chat_payload("one two three four"), "f-1"),
                                                std::chrono::seconds(60));
        EXPECT_TRUE(out.streamed);
        ASSERT_EQ(out.chunks.size(), c.chunks_before);
        EXPECT_EQ(joined_content(out.chunks), std::string("one two three four").substr(0, joined_content(out.chunks).size()));
        ASSERT_TRUE(out.error);
        try {
            std::rethrow_exception(out.error);
        } catch (const ServiceUnavailableError& e) {
            EXPECT_TRUE(c.status_error);
            EXPECT_EQ(std::string(e.what()), c.message_part);
            EXPECT_EQ(e.status_code, 503);
            ASSERT_TRUE(e.error_details);
            EXPECT_EQ((*e.error_details)["error"]["type"], "server_error");
            EXPECT_EQ((*e.error_details)["retry_after"], "2");
        } catch (const SecurityError& e) {
            EXPECT_FALSE(c.status_error);
            EXPECT_NE(std::string(e.what()).find(c.message_part), std::string::npos) << e.what();
        } catch (const std::exception& e) {
            ADD_FAILURE() << "threw " << typeid(e).name() << ": " << e.what();
        }
    }
    // An event stream whose body is empty has no header and no final chunk.
    router_->set_completion_behaviour(devrouter::CompletionBehaviour::answer(200, "", "text/event-stream"));
    const StreamOutcome empty = run_awaitable(read_stream(client, chat_payload("x"), "f-2"), std::chrono::seconds(60));
    EXPECT_TRUE(empty.chunks.empty());
    expect_error<SecurityError>(empty.error, "Stream refused: truncated: the answer ended before its final chunk");
}

// The reader itself, fed events a router of our own seals: what it refuses
// before any plaintext is given out.
TEST_F(HostileRouterTest, StreamReaderRefusesForgedMovedAndMalformedEvents) {
    const auto own_key = router_protocol::load_private_key(vectors()["client_private_key_pem"].get<std::string>());
    const auto public_key = router_protocol::load_public_key(router_protocol::public_key_pem(own_key.get()));
    const auto sealed = [&](const std::string& payload_id, int chunks, std::size_t pad = 0) {
        router_protocol::StreamSealer sealer(public_key.get(), payload_id);
        std::vector<std::string> events{sealer.header_event()};
        for (int i = 0; i < chunks; ++i)
            events.push_back(sealer.chunk_event("{\"n\":" + std::to_string(i) + ",\"pad\":\"" + std::string(pad, 'p') + "\"}"));
        events.push_back(sealer.chunk_event("{\"status\":200}", true));
        return events;
    };
    const std::vector<std::string> a = sealed("answer-a", 2), b = sealed("answer-b", 2);
    // The same events as another writer of the format may send them: other
    // line ends, a byte-order mark, comments, other fields, data in lines.
    const auto rewritten = [&](const std::string& end, const std::string& start = {}) {
        std::string body = start;
        for (std::size_t i = 0; i < a.size(); ++i) {
            std::string event = a[i];
            if (i == 1) event = ": keep-alive\nevent: chunk\nid: 1\nretry: 5\nunknown\n" + event;
            if (i == 2) event.replace(event.find(",\"final\""), 1, "\ndata:,");  // data in two lines
            for (std::size_t at = 0; (at = event.find('\n', at)) != std::string::npos; at += end.size())
                event.replace(at, 1, end);
            body += event;
        }
        return body;
    };
    const std::string big(detail::kMaxStreamEventBytes + 1, 'x');
    // Events that together pass the bound of one, arriving in one piece.
    const std::vector<std::string> wide = sealed("answer-a", 30, 100 * 1024);
    std::string wide_body;
    for (const std::string& event : wide) wide_body += event;
    struct Case {
        std::string name;
        std::vector<std::string> pieces;  // fed one after the other
        std::size_t chunks_before;
        std::string message_part;
    };
    const std::vector<Case> cases{
        {"whole and in order", {a[0], a[1], a[2], a[3]}, 2, ""},
        {"cut into single bytes", {a[0] + a[1] + a[2] + a[3]}, 2, ""},
        {"CRLF, comments, fields, data in lines", {rewritten("\r\n")}, 2, ""},
        {"CR alone", {rewritten("\r")}, 2, ""},
        {"CRLF cut into single bytes", {rewritten("\r\n")}, 2, ""},
        {"CR cut into single bytes", {rewritten("\r")}, 2, ""},
        {"byte-order mark first, cut into single bytes", {rewritten("\n", "\xEF\xBB\xBF")}, 2, ""},
        {"byte-order mark later", {a[0], "\xEF\xBB\xBF" + a[1]}, 0, "truncated"},
        {"two byte-order marks", {"\xEF\xBB\xBF\xEF\xBB\xBF" + a[0] + a[1] + a[2] + a[3]}, 0, "malformed"},
        {"a blank line after the final CRLF", {rewritten("\r\n") + "\r\n"}, 2, "after the final chunk"},
        {"many events in one piece", {wide_body}, 30, ""},
        {"no header", {a[1], a[2]}, 0, "malformed"},
        {"another answer's header", {b[0], a[1]}, 0, "failed authentication"},
        {"another answer's chunk", {a[0], a[1], b[2]}, 1, "failed authentication"},
        {"final flag on a middle chunk's place", {a[0], a[1], a[3]}, 1, "out of order"},
        {"header twice", {a[0], a[0]}, 0, "malformed"},
        {"not JSON", {a[0], "data: {nope\n\n"}, 0, "malformed event"},
        {"bad base64", {a[0], "data: {\"seq\":0,\"final\":false,\"ciphertext\":\"@@@@\",\"tag\":\"AAAA\"}\n\n"}, 0,
         "malformed base64"},
        {"event past the bound", {a[0], "data: " + big}, 0, "event too large"},
        {"body ends early", {a[0], a[1]}, 1, "truncated"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        detail::StreamReader reader(own_key.get(), "answer-a");
        std::size_t handed = 0;
        std::string error;
        try {
            for (const std::string& piece : c.pieces) {
                const std::size_t step = c.name.find("single bytes") != std::string::npos ? 1 : piece.size();
                for (std::size_t at = 0; at < piece.size(); at += step) {
                    reader.feed(bytes_of(piece.substr(at, step)));
                    while (auto chunk = reader.next_chunk()) {
                        if (!chunk->final) ++handed;
                    }
                }
            }
            reader.finish();
        } catch (const SecurityError& e) {
            error = e.what();
        }
        EXPECT_EQ(handed, c.chunks_before);
        if (c.message_part.empty()) {
            EXPECT_EQ(error, "");
            EXPECT_TRUE(reader.complete());
        } else {
            EXPECT_NE(error.find(c.message_part), std::string::npos) << error;
        }
    }

    // Both ends let go of the answer's key with the final chunk; the reader
    // holds it in a secure-memory guard when asked to, as the plain path does.
    for (const bool secure : {false, true}) {
        if (secure && !detail::secure_memory_available()) continue;
        router_protocol::StreamSealer sealer(public_key.get(), "answer-k");
        detail::StreamReader reader(own_key.get(), "answer-k", secure);
        reader.feed(bytes_of(sealer.header_event() + sealer.chunk_event("{}")));
        ASSERT_TRUE(reader.next_chunk());
        EXPECT_TRUE(reader.holds_key());
        EXPECT_EQ(reader.key_guarded(), secure);
        EXPECT_TRUE(sealer.holds_key());
        reader.feed(bytes_of(sealer.chunk_event("{\"status\":200}", true)));
        EXPECT_FALSE(sealer.holds_key());
        ASSERT_TRUE(reader.next_chunk());
        EXPECT_FALSE(reader.holds_key());
    }
}

}  // namespace
}  // namespace ossara::testing
