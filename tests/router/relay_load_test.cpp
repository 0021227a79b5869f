// veilrelay-router under load: requests that wait on a slow model server run
// side by side, and a long run against a failing model server leaks neither
// descriptors nor memory.
#include "allocator_policy.hpp"
#include "relay_fixture.hpp"
#include "support/eventually.hpp"
#include "support/process_probe.hpp"

#include <router_protocol/package_crypto.hpp>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <httplib.h>

#include <sys/resource.h>

#include <atomic>
#include <filesystem>
#include <iostream>
#include <thread>

namespace ossara::testing {
namespace {

using Clock = std::chrono::steady_clock;

// CPU seconds this process (every thread, user and system) has used.
double process_cpu_seconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

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

// A body of `size` bytes built to cost a reader memory or time: `start`,
// then `piece` as often as fits, then `end`, then blanks.
struct HostileShape {
    const char* name;
    std::string_view start, piece, end;

    std::string body(std::size_t size) const {
        std::string text(start);
        while (text.size() + piece.size() + end.size() <= size) text += piece;
        text += end;
        text.resize(size, ' ');
        return text;
    }
};

TEST_F(RelayTest, HostilePackagesAreRefusedQuicklyWithinBoundedMemory) {
#if defined(OSSARA_SANITIZED_ALLOCATOR)
    GTEST_SKIP() << "resident memory is the sanitizer's, not ours";
#endif
    constexpr std::size_t kBodySize = veilrelay_router::kDefaultMaxRequestBytes - 1024;
    constexpr long kMaxGrowth = 64l << 20;
    // The allocator as veilrelay-router's main() sets it up.
    veilrelay_router::return_large_blocks_when_freed();
    start_router([](RelayOptions& o) { o.upstream.reset(); });
    std::string encoded_key;
    for (const char ch : relay_vectors()["client_public_key_pem"].get<std::string>())
        encoded_key += ch == '\n' ? std::string("%0A") : std::string(1, ch);
    const std::string head = "POST /v1/chat/secure_completion HTTP/1.1\r\nHost: x\r\nX-Payload-ID: hostile\r\n"
                             "Content-Type: application/octet-stream\r\nX-Public-Key: " + encoded_key + "\r\n";
    // Warm-up: the loops, the connection and the reading path have run once.
    EXPECT_TRUE(raw_exchange(router_->port(), head + "Content-Length: 2\r\n\r\n{}", "\"}").starts_with("HTTP/1.1 400"));
    const long resident_before = resident_bytes();
    // The router's memory has gone back once the resident size is near where it started.
    const auto returned = [&] { return resident_bytes() < resident_before + (8l << 20); };

    const HostileShape shapes[] = {
        {"nested arrays", "[", "[", ""},
        {"nested objects", R"({"a":)", R"({"a":)", ""},
        {"flat array", "[0", ",0", "]"},
        {"many members", "{", R"("a":0, )", R"("a":0})"},
        {"long version", R"({"version": ")", "A", R"("})"},
        {"long unknown member", R"({"x": ")", "A", R"("})"},
        {"escaped unknown member", R"({"x": ")", R"(\u0041)", R"("})"},
        {"huge ciphertext (no key unwraps it)",
         R"({"version": "1.0", "algorithm": "hybrid-aes256-rsa4096", "encrypted_payload": {"ciphertext": ")", "A",
         R"(", "nonce": "AAAAAAAAAAAAAAAA", "tag": "AAAAAAAAAAAAAAAAAAAAAA=="}, "encrypted_aes_key": "AAAA"})"},
    };
    for (const HostileShape& shape : shapes) {
        SCOPED_TRACE(shape.name);
        ASSERT_TRUE(eventually(returned, std::chrono::seconds(5)));
        const std::string request =
            head + "Content-Length: " + std::to_string(kBodySize) + "\r\n\r\n" + shape.body(kBodySize);
        ASSERT_TRUE(reset_peak_resident());
        const long resident = resident_bytes();
        const double cpu_before = process_cpu_seconds();
        std::chrono::steady_clock::duration after_sent{};
        const std::string answer = raw_exchange(router_->port(), request, "\"}", &after_sent);
        const double cpu = process_cpu_seconds() - cpu_before;
        const long growth = peak_resident_bytes().value_or(resident) - resident;
        const double ms = std::chrono::duration<double, std::milli>(after_sent).count();
        std::cout << "[ measured ] " << shape.name << ": answered " << ms << " ms after the last byte, " << cpu * 1000
                  << " ms of CPU; peak resident growth " << growth / (1 << 20) << " MiB" << std::endl;
        EXPECT_TRUE(answer.starts_with("HTTP/1.1 400")) << answer.substr(0, 300);
        EXPECT_NE(answer.find(R"({"detail":"Invalid package: )"), std::string::npos) << answer.substr(0, 300);
        EXPECT_LT(growth, kMaxGrowth);
        // The work is bounded by the CPU it takes (the wall time also counts
        // the other processes of a busy machine).
        EXPECT_LT(cpu, 1.0);
        EXPECT_LT(after_sent, std::chrono::seconds(5));
    }
    EXPECT_TRUE(eventually(returned, std::chrono::seconds(5)))
        << "resident " << resident_before / (1 << 20) << " MiB before, " << resident_bytes() / (1 << 20) << " MiB after";
}

}  // namespace
}  // namespace ossara::testing
