// One client shared by several threads that run one io_context, as servers
// run Asio: every asynchronous operation may run on any of them at once.
// Built with ThreadSanitizer (the tsan preset runs the "async" label), a data
// race in the client, the transport or the secure-memory guards fails here.
#include "exchange_fixture.hpp"
#include "support/joining_thread.hpp"
#include "support/process_probe.hpp"

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace ossara::testing {
namespace {

constexpr int kThreads = 4;

// What the completion handlers record; they run on any of the threads.
class Outcomes {
public:
    void fail(std::string what) {
        const std::lock_guard<std::mutex> lock(mutex_);
        failures_.push_back(std::move(what));
    }
    void succeed() { ++succeeded_; }
    int succeeded() const { return succeeded_.load(); }
    std::vector<std::string> failures() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return failures_;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> failures_;
    std::atomic<int> succeeded_{0};
};

std::string describe(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown error";
    }
}

// Runs `io` on kThreads threads until its work is done (bounded in time).
void run_on_threads(asio::io_context& io) {
    std::vector<ossara::testing::JoiningThread> threads;
    for (int i = 0; i < kThreads; ++i) threads.emplace_back([&io] { io.run_for(std::chrono::seconds(120)); });
}

class SharedClientTest : public ExchangeTest {
protected:
    void SetUp() override {
        ExchangeTest::SetUp();
        devrouter::RouterOptions options;
        options.worker_threads = 8;
        start_router(std::move(options));
    }
};

TEST_F(SharedClientTest, TwoHundredExchangesAndTheOtherOperationsOnFourThreads) {
    // Both ends of every connection are in this process (macOS allows 256 descriptors by default).
    ossara::testing::raise_open_file_limit(4096);
    Veilrelay client = make_client();
    // Many exchanges queue at the router at once (slower still under the
    // sanitizers): limits that only a stalled transfer reaches.
    detail::ClientTestAccess::set_http_limits(client, {std::chrono::seconds(30), std::chrono::seconds(30)});
    // Every line at debug level, so the logger is written from all threads too.
    LogCapture log("ossara.Veilrelay");
    asio::io_context io;
    Outcomes outcomes;

    constexpr int kExchanges = 200;
    for (int i = 0; i < kExchanges; ++i) {
        const std::string content = "message " + std::to_string(i);
        const std::string id = "id-" + std::to_string(i);
        asio::co_spawn(io, client.send_secure_request(chat_payload(content), id),
                       [&outcomes, content, id](std::exception_ptr error, json answer) {
                           if (error) return outcomes.fail(id + ": " + describe(error));
                           // Each answer belongs to its own request: nothing crossed between exchanges.
                           if (answer["_metadata"]["payload_id"] != id ||
                               answer["choices"][0]["message"]["content"] != content)
                               return outcomes.fail(id + ": answer of another exchange");
                           outcomes.succeed();
                       });
    }
    // The other public operations interleave with the exchanges on the same client.
    const std::string package_text = vectors()["response_package"].get<std::string>();
    const nlohmann::json& expected = vectors()["response_answer"];
    constexpr int kEach = 8;
    for (int i = 0; i < kEach; ++i) {
        asio::co_spawn(io, client.fetch_server_public_key(), [&outcomes](std::exception_ptr error, std::string pem) {
            if (error || !pem.starts_with("-----BEGIN PUBLIC KEY-----")) return outcomes.fail("fetch: " + describe(error));
            outcomes.succeed();
        });
        asio::co_spawn(io, client.encrypt_payload(chat_payload("direct")),
                       [&outcomes](std::exception_ptr error, std::vector<std::uint8_t> package) {
                           if (error || package.empty()) return outcomes.fail("encrypt: " + describe(error));
                           outcomes.succeed();
                       });
        asio::co_spawn(io,
                       client.decrypt_response(std::vector<std::uint8_t>(package_text.begin(), package_text.end()),
                                               "direct-" + std::to_string(i)),
                       [&outcomes, &expected](std::exception_ptr error, json answer) {
                           if (error) return outcomes.fail("decrypt: " + describe(error));
                           if (nlohmann::json::parse(answer["choices"].dump()) != expected["choices"]) return outcomes.fail("decrypt: wrong answer");
                           outcomes.succeed();
                       });
    }
    run_on_threads(io);

    const auto failures = outcomes.failures();
    EXPECT_TRUE(failures.empty()) << failures.size() << " failed, first: " << failures.front();
    EXPECT_EQ(outcomes.succeeded(), kExchanges + 3 * kEach);
    EXPECT_EQ(posts_seen(), static_cast<std::size_t>(kExchanges));
    EXPECT_TRUE(log.lines_at(spdlog::level::err).empty());
    EXPECT_EQ(log.lines_at(spdlog::level::info).size(), static_cast<std::size_t>(kExchanges * 4 + kEach * 4));
}

}  // namespace
}  // namespace ossara::testing
