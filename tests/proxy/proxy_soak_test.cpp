// A thousand requests through the proxy to routers that fail in every way
// the library's fault soak uses, 32 at a time. Every request must get the
// status and error type its failure maps to, and afterwards the process must
// hold no more file descriptors and (without a sanitizer's allocator) no
// more memory than after a warm-up round.
#include "proxy_fixture.hpp"

#include "devrouter/test_servers.hpp"
#include "support/log_capture.hpp"
#include "support/process_probe.hpp"
#include "support/soak_peers.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <random>
#include <thread>

namespace veilrelay_cli::testing {
namespace {

using namespace std::chrono_literals;
using ossara::devrouter::CompletionBehaviour;
using Kind = CompletionBehaviour::Kind;
using ossara::testing::open_descriptors;
using ossara::testing::resident_bytes;

using Peer = ossara::testing::SoakPeer;
constexpr auto& kPeerNames = ossara::testing::kSoakPeerNames;
constexpr int kPeerCount = ossara::testing::kSoakPeerCount;

// What each peer's failure must look like to the chat client.
struct Expected {
    int status;
    const char* type;  // nullptr for an answer
};
constexpr Expected kExpected[] = {
    {200, nullptr},
    {502, "api_connection_error"},  // the key cannot be fetched: the router is unreachable
    {502, "api_connection_error"},  // the key fetch times out: the same
    {504, "timeout_error"},         // the answer never comes: the proxy's deadline
    {502, "api_connection_error"},  // the answer breaks off
    {502, "api_connection_error"},  // 200 with a body that is not a package
    {500, "server_error"},
    {429, "rate_limit_error"},
};

constexpr int kRequests = 1000;
constexpr int kWarmUp = 80;
constexpr int kInFlight = 32;
constexpr std::uint32_t kSeed = 20261208;

// One proxy in front of each misbehaving peer.
class Peers {
public:
    // A stalled request holds its worker until stop(): one worker per stall.
    Peers() : peers_(160) {
        for (int p = 0; p < kPeerCount; ++p) {
            clients_.push_back(client_for(peers_.url(static_cast<Peer>(p))));
            ProxyConfig config;
            if (static_cast<Peer>(p) == Peer::stall) {
                // The proxy's deadline ends these exchanges, well before the library's own limit.
                ossara::detail::ClientTestAccess::set_http_limits(*clients_.back(), {2000ms, std::chrono::seconds(30)});
                config.exchange_timeout = 1s;
            }
            proxies_.push_back(std::make_unique<ProxyServer>(*clients_.back(), std::move(config)));
            proxies_.back()->start();
        }
    }
    ~Peers() {
        for (auto& p : proxies_) p->stop();
    }
    int port(Peer peer) const { return proxies_[static_cast<std::size_t>(peer)]->port(); }

private:
    ossara::testing::SoakPeers peers_;
    std::vector<std::unique_ptr<ossara::Veilrelay>> clients_;
    std::vector<std::unique_ptr<ProxyServer>> proxies_;
};

struct Outcome {
    Peer peer = Peer::normal;
    int status = -1;
    std::string body;
    std::chrono::steady_clock::duration elapsed{};
};

std::optional<std::string> mismatch(const Outcome& o, int index) {
    const Expected& want = kExpected[static_cast<int>(o.peer)];
    bool ok = o.status == want.status;
    const auto body = nlohmann::json::parse(o.body, nullptr, false);
    if (ok && want.type == nullptr)
        ok = body.is_object() && body.value("/choices/0/message/content"_json_pointer, std::string()) ==
                                     "soak " + std::to_string(index);
    else if (ok)
        ok = body.is_object() && body.value("/error/type"_json_pointer, std::string()) == want.type;
    if (ok) return std::nullopt;
    return std::string(kPeerNames[static_cast<int>(o.peer)]) + " gave " + std::to_string(o.status) + " " + o.body;
}

std::vector<Outcome> run_round(Peers& peers, int count, std::mt19937& random) {
    const auto peers_chosen = ossara::testing::pick_soak_peers(count, random);
    std::vector<Outcome> outcomes(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) outcomes[static_cast<std::size_t>(i)].peer = peers_chosen[static_cast<std::size_t>(i)];
    std::atomic<int> next{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < kInFlight; ++w)
        workers.emplace_back([&] {
            for (int i; (i = next++) < count;) {
                Outcome& o = outcomes[static_cast<std::size_t>(i)];
                const auto start = std::chrono::steady_clock::now();
                auto client = http_client(peers.port(o.peer));
                const auto r = client.Post("/v1/chat/completions", chat_body("soak " + std::to_string(i)),
                                           "application/json");
                if (r) {
                    o.status = r->status;
                    o.body = r->body;
                }
                o.elapsed = std::chrono::steady_clock::now() - start;
            }
        });
    for (auto& w : workers) w.join();
    return outcomes;
}

TEST(ProxySoak, EveryRequestGetsItsMappedStatusAndNothingIsLeftOpen) {
    const auto previous = ossara::set_warning_handler([](auto, auto, const auto&) {});
    std::mt19937 random(kSeed);
    {
        Peers peers;
        ossara::testing::LogCapture quiet("ossara.Veilrelay");
        const auto warm_up = run_round(peers, kWarmUp, random);
        for (int i = 0; i < kWarmUp; ++i) ASSERT_FALSE(mismatch(warm_up[i], i)) << *mismatch(warm_up[i], i);
    }
    const int descriptors_before = open_descriptors();
    [[maybe_unused]] const long resident_before = resident_bytes();

    std::vector<Outcome> outcomes;
    const auto start = std::chrono::steady_clock::now();
    {
        Peers peers;
        ossara::testing::LogCapture quiet("ossara.Veilrelay");
        outcomes = run_round(peers, kRequests, random);
    }
    std::printf("%d requests through the proxy to failing routers: %lld ms\n", kRequests,
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                        .count()));

    int seen[kPeerCount] = {};
    std::chrono::steady_clock::duration longest[kPeerCount] = {};
    int wrong = 0;
    for (int i = 0; i < kRequests; ++i) {
        const int p = static_cast<int>(outcomes[i].peer);
        ++seen[p];
        longest[p] = std::max(longest[p], outcomes[i].elapsed);
        if (const auto reason = mismatch(outcomes[i], i); reason && ++wrong <= 10) ADD_FAILURE() << i << ": " << *reason;
    }
    EXPECT_EQ(wrong, 0);
    for (int p = 0; p < kPeerCount; ++p) {
        EXPECT_GT(seen[p], 0) << kPeerNames[p] << " never chosen";
        std::printf("  %-9s %4d requests, longest %lld ms\n", kPeerNames[p], seen[p],
                    static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(longest[p]).count()));
    }

    EXPECT_EQ(open_descriptors(), descriptors_before) << "file descriptors left open";
#ifndef OSSARA_SANITIZED_ALLOCATOR
    const long grown = resident_bytes() - resident_before;
    EXPECT_LT(grown, 16L << 20) << "resident memory grew by " << grown << " bytes";
#endif
    ossara::set_warning_handler(previous);
}

}  // namespace
}  // namespace veilrelay_cli::testing
