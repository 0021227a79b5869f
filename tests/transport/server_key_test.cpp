// Server key retrieval against the in-process development router and
// against peers that refuse, stall or break the connection.
#include "run_async.hpp"

#include "core/logging.hpp"
#include "devrouter/router.hpp"
#include "devrouter/test_servers.hpp"
#include "exchange/client_test_access.hpp"
#include "support/log_capture.hpp"
#include "support/process_probe.hpp"
#include "support/test_certs.hpp"
#include "support/test_data.hpp"

#include <ossara/Veilrelay.hpp>

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <chrono>
#include <filesystem>
#include <iterator>
#include <memory>
#include <thread>
#include <variant>

namespace {

using namespace std::chrono_literals;
using ossara::testing::open_descriptors;
using ossara::devrouter::KeyBehaviour;
using ossara::devrouter::Router;
using ossara::testing::run_async;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using Clock = std::chrono::steady_clock;

constexpr const char* kLogger = "ossara.Veilrelay";
// Limits short enough for timeout tests to take about a second.
const ossara::detail::HttpLimits kShortLimits{std::chrono::milliseconds(1000), std::chrono::seconds(1)};
// Generous but bounded limits for tests that expect an answer.
const ossara::detail::HttpLimits kTestLimits{std::chrono::milliseconds(10000), std::chrono::seconds(20)};

std::string ec_public_key_pem() {
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), &EVP_PKEY_free);
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), &BIO_free);
    if (!key || !bio || PEM_write_bio_PUBKEY(bio.get(), key.get()) != 1) throw std::runtime_error("EC key");
    char* data = nullptr;
    const long len = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(len));
}

template <class Error>
std::string message_of(ossara::Veilrelay& client) {
    try {
        run_async(client.fetch_server_public_key());
    } catch (const Error& e) {
        return e.what();
    }
    ADD_FAILURE() << "expected an error";
    return {};
}

class ServerKeyTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ossara::detail::log();  // make sure the logger is registered for LogCapture
        previous_warning_handler_ = ossara::set_warning_handler([](auto, auto, const auto&) {});
        vectors_ = nlohmann::json::parse(
            ossara::testing::read_text_file(ossara::testing::test_data_dir() / "vectors" / "packages.json"));
        certs_dir_ = std::make_unique<ossara::testing::TempDir>();
        certs_ = ossara::testing::make_test_certificates(certs_dir_->path());

        ossara::devrouter::RouterOptions http_options;
        http_options.server_key_pem = vectors_["server_private_key_pem"].get<std::string>();
        http_ = std::make_unique<Router>(http_options);
        http_->start();

        ossara::devrouter::RouterOptions https_options = http_options;
        https_options.tls_cert_file = certs_.cert_file.string();
        https_options.tls_key_file = certs_.key_file.string();
        https_ = std::make_unique<Router>(https_options);
        https_->start();
    }

    static void TearDownTestSuite() {
        http_.reset();
        https_.reset();
        certs_dir_.reset();
        ossara::set_warning_handler(previous_warning_handler_);
    }

    void SetUp() override {
        for (Router* router : {http_.get(), https_.get()}) {
            router->set_key_behaviour({});
            router->clear_requests();
        }
        capture_ = std::make_unique<ossara::testing::LogCapture>(kLogger);  // also keeps stderr quiet
    }
    void TearDown() override { capture_.reset(); }

    static ossara::Veilrelay http_client(const std::string& url, ossara::detail::HttpLimits limits = kTestLimits) {
        ossara::Veilrelay client(url, /*allow_http=*/true);
        ossara::detail::ClientTestAccess::set_http_limits(client, limits);
        return client;
    }

    static ossara::Veilrelay https_client(bool trust_ca) {
        ossara::Veilrelay client(https_->base_url());
        ossara::detail::ClientTestAccess::set_http_limits(client, kTestLimits);
        if (trust_ca) client.set_ca_file(certs_.ca_file.string());
        return client;
    }

    std::unique_ptr<ossara::testing::LogCapture> capture_;

    static inline nlohmann::json vectors_;
    static inline std::unique_ptr<ossara::testing::TempDir> certs_dir_;
    static inline ossara::testing::TestCertificates certs_;
    static inline std::unique_ptr<Router> http_;
    static inline std::unique_ptr<Router> https_;
    static inline ossara::WarningHandler previous_warning_handler_;
};

TEST_F(ServerKeyTest, FetchesOverHttpWhenAllowedAndWarnsTwice) {
    auto client = http_client(http_->base_url());
    auto& capture = *capture_;
    capture.clear();

    EXPECT_EQ(run_async(client.fetch_server_public_key()), http_->public_key_pem());

    EXPECT_THAT(capture.lines_at(spdlog::level::info), ElementsAre("Fetching server's public key..."));
    EXPECT_THAT(capture.lines_at(spdlog::level::warn),
                ElementsAre("Fetching key over HTTP (local development mode)",
                            "Server's public key fetched over HTTP (INSECURE)"));
    const auto requests = http_->requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].path, "/pki/public_key");
    EXPECT_FALSE(requests[0].header("Authorization"));
    EXPECT_TRUE(requests[0].body.empty());
}

TEST_F(ServerKeyTest, FetchesOverHttpsWithTheGivenCaAndLogsAtDebug) {
    auto client = https_client(/*trust_ca=*/true);
    auto& capture = *capture_;
    capture.clear();

    EXPECT_EQ(run_async(client.fetch_server_public_key()), https_->public_key_pem());

    EXPECT_THAT(capture.lines_at(spdlog::level::debug), ElementsAre("Server's public key fetched securely over HTTPS"));
    EXPECT_TRUE(capture.lines_at(spdlog::level::warn).empty());
}

TEST_F(ServerKeyTest, HttpUrlWithoutAllowHttpIsRefusedBeforeAnyConnection) {
    ossara::Veilrelay client(http_->base_url(), /*allow_http=*/false);
    auto& capture = *capture_;
    capture.clear();

    const std::string message = message_of<ossara::SecurityError>(client);

    EXPECT_THAT(message, StartsWith("Server public key must be fetched over HTTPS to prevent MITM attacks. "
                                    "For local development, initialize with allow_http=True: "));
    EXPECT_THAT(message, HasSubstr("ossara::Veilrelay"));
    EXPECT_THAT(capture.lines(), ElementsAre("Fetching server's public key..."));
    EXPECT_TRUE(http_->requests().empty());
}

TEST_F(ServerKeyTest, ReturnsTheBodyByteForByteAndAcceptsOtherAlgorithms) {
    const std::string body = ec_public_key_pem() + "\n";  // an extra trailing newline stays
    http_->set_key_behaviour(KeyBehaviour::serve(body));
    auto client = http_client(http_->base_url());

    EXPECT_EQ(run_async(client.fetch_server_public_key()), body);
}

TEST_F(ServerKeyTest, EveryCallMakesItsOwnRequest) {
    auto client = http_client(http_->base_url());
    run_async(client.fetch_server_public_key());
    run_async(client.fetch_server_public_key());
    EXPECT_EQ(http_->requests().size(), 2u);
}

TEST_F(ServerKeyTest, UnacceptableAnswersRaiseValueError) {
    const std::string pem = http_->public_key_pem();
    const std::string private_pem = vectors_["server_private_key_pem"].get<std::string>();
    const struct {
        KeyBehaviour behaviour;
        std::string message;
    } rows[] = {
        {{KeyBehaviour::Kind::status, 404, "not here"}, "Failed to fetch server's public key: HTTP 404"},
        {{KeyBehaviour::Kind::status, 201, pem}, "Failed to fetch server's public key: HTTP 201"},
        {{KeyBehaviour::Kind::status, 302, ""}, "Failed to fetch server's public key: HTTP 302"},
        {{KeyBehaviour::Kind::status, 500, R"({"detail": "x"})"}, "Failed to fetch server's public key: HTTP 500"},
        {{KeyBehaviour::Kind::body, 200, "this is not a key"}, "Server returned invalid public key format"},
        {{KeyBehaviour::Kind::body, 200, ""}, "Server returned invalid public key format"},
        {{KeyBehaviour::Kind::body, 200, private_pem}, "Server returned invalid public key format"},
        {{KeyBehaviour::Kind::body, 200, pem.substr(0, pem.size() / 2)}, "Server returned invalid public key format"},
    };
    auto client = http_client(http_->base_url());
    for (const auto& row : rows) {
        SCOPED_TRACE(row.message + " / status " + std::to_string(row.behaviour.status));
        http_->set_key_behaviour(row.behaviour);
        EXPECT_EQ(message_of<ossara::ValueError>(client), row.message);
    }
}

TEST_F(ServerKeyTest, RefusedConnectionIsAConnectionErrorWithCurlsText) {
    const ossara::devrouter::ClosedPort closed;
    auto client = http_client(closed.base_url());
    const std::string message = message_of<ossara::ConnectionError>(client);
    EXPECT_THAT(message, StartsWith("Failed to connect to server: "));
    EXPECT_GT(message.size(), std::string("Failed to connect to server: ").size());
}

TEST_F(ServerKeyTest, UntrustedCertificateFailsBeforeAnyRequestIsSent) {
    auto client = https_client(/*trust_ca=*/false);
    EXPECT_THAT(message_of<ossara::ConnectionError>(client), StartsWith("Failed to connect to server: "));
    EXPECT_TRUE(https_->requests().empty());
}

TEST_F(ServerKeyTest, PeersThatNeverAnswerTimeOutWithinTheLimit) {
    ossara::devrouter::SilentListener never_accepts;
    http_->set_key_behaviour(KeyBehaviour::of(KeyBehaviour::Kind::stall));
    for (const std::string& url : {never_accepts.base_url(), http_->base_url()}) {
        SCOPED_TRACE(url);
        auto client = http_client(url, kShortLimits);
        const auto started = Clock::now();
        EXPECT_EQ(message_of<ossara::ConnectionError>(client), "Connection to server timed out");
        const auto elapsed = Clock::now() - started;
        EXPECT_GE(elapsed, 900ms);
        EXPECT_LT(elapsed, 8s);
    }
}

TEST_F(ServerKeyTest, BrokenAnswersRaiseTheGenericValueError) {
    const struct {
        const char* what;
        std::string response;
        bool reset;
    } rows[] = {
        {"closed without an answer", "", false},
        {"closed mid-body", "HTTP/1.1 200 OK\r\nContent-Length: 500\r\n\r\n-----BEGIN PUBLIC KEY-----\n", false},
        {"reset mid-body", "HTTP/1.1 200 OK\r\nContent-Length: 500\r\n\r\n-----BEGIN PUBLIC KEY-----\n", true},
        {"not HTTP", "SSH-2.0-OpenSSH\r\n\r\n", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ossara::devrouter::RawResponder peer(row.response, row.reset);
        auto client = http_client(peer.base_url());
        EXPECT_EQ(message_of<ossara::ValueError>(client), "Failed to fetch server's public key");
    }
}

TEST_F(ServerKeyTest, ManyConcurrentRetrievalsOnOneThreadAllComplete) {
    constexpr int kCount = 256;
    auto client = http_client(http_->base_url(), ossara::detail::HttpLimits{});
    const int descriptors_before = open_descriptors();
    int matching = 0;
    int failed = 0;
    const std::string expected = http_->public_key_pem();
    {
        asio::io_context io;
        for (int i = 0; i < kCount; ++i)
            asio::co_spawn(io, client.fetch_server_public_key(), [&](std::exception_ptr error, std::string key) {
                if (error)
                    ++failed;
                else if (key == expected)
                    ++matching;
            });
        io.run_for(120s);
    }
    EXPECT_EQ(matching, kCount);
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(http_->requests().size(), static_cast<std::size_t>(kCount));
    // Every socket (and our watcher's copy of it) is closed again; the
    // router's side of each connection closes a moment later.
    for (int i = 0; i < 300 && open_descriptors() > descriptors_before; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_LE(open_descriptors(), descriptors_before);
}

TEST_F(ServerKeyTest, CancellationSignalEndsTheRetrievalAndLeavesNoTransfer) {
    ossara::devrouter::SilentListener never_accepts;
    auto client = http_client(never_accepts.base_url(), ossara::detail::HttpLimits{});
    asio::io_context io;
    asio::cancellation_signal signal;
    std::exception_ptr outcome;
    bool finished = false;
    asio::co_spawn(io, client.fetch_server_public_key(),
                   asio::bind_cancellation_slot(signal.slot(), [&](std::exception_ptr error, std::string) {
                       outcome = error;
                       finished = true;
                   }));
    asio::steady_timer timer(io, 300ms);
    timer.async_wait([&](const asio::error_code&) { signal.emit(asio::cancellation_type::terminal); });

    // Without work left the context stops at once; a lingering transfer
    // would keep it running for the whole bound.
    const auto started = Clock::now();
    io.run_for(10s);
    EXPECT_LT(Clock::now() - started, 3s);
    EXPECT_TRUE(io.stopped());
    ASSERT_TRUE(finished);
    EXPECT_THROW(std::rethrow_exception(outcome), ossara::CancelledError);
}

asio::awaitable<std::size_t> fetch_or_give_up(ossara::Veilrelay& client, std::chrono::milliseconds patience) {
    using namespace asio::experimental::awaitable_operators;
    asio::steady_timer timer(co_await asio::this_coro::executor, patience);
    const auto winner = co_await (client.fetch_server_public_key() || timer.async_wait(asio::use_awaitable));
    co_return winner.index();
}

TEST_F(ServerKeyTest, LosingARaceAgainstATimerCancelsTheRetrieval) {
    http_->set_key_behaviour(KeyBehaviour::of(KeyBehaviour::Kind::stall));
    auto client = http_client(http_->base_url(), ossara::detail::HttpLimits{});
    const auto started = Clock::now();
    EXPECT_EQ(run_async(fetch_or_give_up(client, 300ms), 20s), 1u);
    EXPECT_LT(Clock::now() - started, 5s);
}

TEST_F(ServerKeyTest, DestroyingTheContextMidFlightReleasesTheTransfer) {
    ossara::devrouter::SilentListener never_accepts;
    auto client = http_client(never_accepts.base_url(), ossara::detail::HttpLimits{});
    {
        asio::io_context io;
        asio::co_spawn(io, client.fetch_server_public_key(), asio::detached);
        io.run_for(200ms);
    }  // the suspended coroutine and its transfer are destroyed here
    SUCCEED();  // the sanitizers check that nothing leaked or was used after free
}

}  // namespace
