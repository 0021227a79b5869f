// veilrelay-router under load: requests that wait on a slow model server run
// side by side, and a long run against a failing model server leaks neither
// descriptors nor memory.
#include "relay_fixture.hpp"
#include "support/eventually.hpp"
#include "support/process_probe.hpp"

#include <router_protocol/package_crypto.hpp>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <httplib.h>

#include <atomic>
#include <filesystem>
#include <iostream>
#include <thread>

namespace ossara::testing {
namespace {

using Clock = std::chrono::steady_clock;

TEST_F(RelayTest, SixtyFourRequestsWaitOnTheUpstreamTogether) {
    // Both ends of every connection are in this process (macOS allows 256 descriptors by default).
    ossara::testing::raise_open_file_limit(4096);
    constexpr int kRequests = 64;
    start_router([](RelayOptions& o) { o.upstream->timeout = std::chrono::seconds(60); });
    // Each request is held until all 64 are at the model server at once (at
    // most 30 s); a router that served them one by one would hold each for
    // the full 30 s.
    upstream_.reply_with({200, FakeUpstream::completion("together", "m1"), "application/json",
                          std::chrono::seconds(30), kRequests});
    Veilrelay c = client();
    asio::io_context io;
    int answered = 0;
    int failed = 0;
    const auto started = Clock::now();
    for (int i = 0; i < kRequests; ++i)
        asio::co_spawn(io, c.send_secure_request(chat("hi"), "load-" + std::to_string(i)),
                       [&](std::exception_ptr e, json) { ++(e ? failed : answered); });
    io.run_for(std::chrono::seconds(120));
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    std::cout << "[ measured ] " << kRequests << " requests, at most " << upstream_.max_in_flight()
              << " at the model server together, all answered in " << seconds << " s" << std::endl;
    RecordProperty("in_flight_together", upstream_.max_in_flight());
    EXPECT_EQ(answered, kRequests);
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(upstream_.max_in_flight(), kRequests);
    EXPECT_LT(seconds, 30.0);
}

TEST_F(RelayTest, ThousandRequestsAgainstAFailingUpstreamLeakNothing) {
    // A 2048-bit server key keeps the 1,000 RSA unwraps of this test quick;
    // the router does not care about the size.
    std::string server_public;
    const auto key_file = write_small_server_key(dir_.path() / "small-server.pem", server_public);
    // Few workers, so the warm-up has used every one of them (each thread
    // keeps some per-thread state of its own, e.g. OpenSSL's).
    start_router([&](RelayOptions& o) {
        o.server_key_file = key_file;
        o.worker_threads = 16;
    });
    upstream_.reply_with({500, R"({"error": {"message": "model crashed"}})"});
    upstream_.keep_at_most(0);

    // One valid request package, sent again and again; every tenth request
    // carries a broken package instead.
    const auto server_key = router_protocol::load_public_key(server_public);
    const std::string package = router_protocol::seal_package(chat("soak").dump(), server_key.get()).dump();
    std::string encoded_key;
    for (const char ch : relay_vectors()["client_public_key_pem"].get<std::string>())
        encoded_key += ch == '\n' ? std::string("%0A") : std::string(1, ch);
    const httplib::Headers headers{{"X-Payload-ID", "soak"}, {"X-Public-Key", encoded_key}};

    std::atomic<int> next{0};
    std::atomic<int> unexpected{0};
    const auto worker = [&](int total) {
        httplib::Client http("127.0.0.1", router_->port());
        for (int i; (i = next++) < total;) {
            const bool broken = i % 10 == 0;
            const auto r = http.Post("/v1/chat/secure_completion", headers, broken ? "{\"version\": 1}" : package,
                                     "application/octet-stream");
            if (!r || r->status != (broken ? 400 : 500)) ++unexpected;
        }
    };
    const auto run = [&](int total, int threads) {
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t) pool.emplace_back(worker, total);
        for (auto& t : pool) t.join();
    };

    run(200, 8);  // warm-up: worker threads, connections, allocator arenas
    const int fds_before = open_descriptors();
    const std::size_t heap_before = heap_in_use().value_or(0);  // 0 where the system does not tell
    next = 0;
    const auto started = Clock::now();
    run(1000, 8);
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    // The clients have closed their connections; the server's side goes when its workers notice.
    eventually([&] { return open_descriptors() <= fds_before; }, std::chrono::seconds(5));
    const int fds_after = open_descriptors();
    const std::size_t heap_after = heap_in_use().value_or(0);
    std::cout << "[ measured ] 1000 requests in " << seconds << " s; descriptors " << fds_before << " -> "
              << fds_after << "; heap in use " << heap_before << " -> " << heap_after << " bytes" << std::endl;

    EXPECT_EQ(unexpected.load(), 0);
    EXPECT_EQ(upstream_.request_count(), 1200u - 120u);
    EXPECT_LE(fds_after, fds_before + 4);
    EXPECT_LT(heap_after, heap_before + (4u << 20));
}

}  // namespace
}  // namespace ossara::testing
