// A thousand exchanges against peers that fail in every way a network can,
// chosen at random with a fixed seed and run 50 at a time on one io_context.
// Every exchange must end in its answer or in the typed error its failure
// maps to, within its time limit, and afterwards the process must hold no
// more file descriptors and (without a sanitizer's allocator) no more memory
// than after a warm-up round.
#include <ossara/Veilrelay.hpp>

#include "devrouter/router.hpp"
#include "devrouter/test_servers.hpp"
#include "exchange/client_test_access.hpp"
#include "support/log_capture.hpp"
#include "support/process_probe.hpp"
#include "support/soak_peers.hpp"
#include "support/test_data.hpp"

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <typeinfo>
#include <vector>

namespace ossara::testing {
namespace {

using namespace std::chrono_literals;
using devrouter::CompletionBehaviour;

using Peer = SoakPeer;
constexpr auto& kPeerNames = kSoakPeerNames;
constexpr int kPeerCount = kSoakPeerCount;

constexpr int kExchanges = 1000;
constexpr int kWarmUpExchanges = 80;
constexpr int kInFlight = 50;
constexpr std::uint32_t kSeed = 20261208;
const detail::HttpLimits kLimits{2000ms, std::chrono::seconds(1)};
// The longest any exchange may take: its limit, curl's once-a-second check of
// the transfer speed, queueing behind 49 others (sanitizers included), and
// the kernel's SYN retries when a router's short accept queue overflows.
constexpr auto kDeadline = 30s;

struct Outcome {
    Peer peer = Peer::normal;
    std::string payload_id;
    std::optional<json> answer;
    std::string error_type;  // typeid name of the error, empty when answered
    std::string message;
    std::optional<int> status;
    std::optional<json> details;
    std::chrono::steady_clock::duration elapsed{};
};

const std::string kCatchAll = "Request failed due to an unexpected error";

// Whether `o` ended in a timeout of its own: in the key fetch (which
// encryption reports) or in the request (the catch-all), after at least the
// transfer-speed limit. Any peer may end so when the machine is too busy to
// answer within the test's short limits (sanitizers, parallel tests).
bool timed_out(const Outcome& o) {
    return o.elapsed >= kLimits.low_speed_time &&
           ((o.error_type == typeid(SecurityError).name() && o.message == "Encryption operation failed") ||
            (o.error_type == typeid(APIConnectionError).name() && o.message == kCatchAll));
}

// Whether `o` is what its peer's failure maps to, or a timeout; the reason when not.
std::optional<std::string> mismatch(const Outcome& o) {
    auto is = [&](const std::type_info& type) { return o.error_type == type.name(); };
    const std::string& catch_all = kCatchAll;
    if (timed_out(o)) return std::nullopt;
    switch (o.peer) {
        case Peer::normal: {
            const json::json_pointer id("/_metadata/payload_id"), content("/choices/0/message/content");
            if (o.answer && o.answer->contains(id) && o.answer->at(id) == o.payload_id && o.answer->contains(content) &&
                o.answer->at(content) == "soak " + o.payload_id)
                return std::nullopt;
            break;
        }
        case Peer::refused:  // the key fetch cannot connect: ConnectionError inside encryption
        case Peer::silent:   // the key fetch times out: the same
            if (is(typeid(SecurityError)) && o.message == "Encryption operation failed") return std::nullopt;
            break;
        case Peer::stall:    // the answer never comes: a timeout is not a network failure
        case Peer::garbage:  // 200 with a body that is not a package
            if (is(typeid(APIConnectionError)) && o.message == catch_all) return std::nullopt;
            break;
        case Peer::reset:  // the body ends early: a closed connection, or a reset one
            if (is(typeid(APIConnectionError)) &&
                (o.message == catch_all || o.message.starts_with("Failed to connect to router: ")))
                return std::nullopt;
            break;
        case Peer::html_500:
            if (is(typeid(ServerError)) && o.message == "Server error: Internal server error" && o.status == 500 &&
                !o.details)
                return std::nullopt;
            break;
        case Peer::json_429:
            if (is(typeid(RateLimitError)) && o.message == "Rate limit exceeded: slow down" && o.status == 429 &&
                o.details && o.details->value("detail", "") == "slow down")
                return std::nullopt;
            break;
    }
    return std::string(kPeerNames[static_cast<int>(o.peer)]) + " ended in " +
           (o.answer ? "an answer " + o.answer->dump() : o.error_type + ": " + o.message);
}

// The peers of a round, chosen at random.
std::vector<Peer> pick_peers(int count, std::mt19937& random) { return pick_soak_peers(count, random); }

// The misbehaving peers of a round, one client for each.
class Peers {
public:
    Peers(const std::filesystem::path& key_path, const std::vector<Peer>& round)
        // One worker of the stalling router for each stall the round sends,
        // and one for each exchange in flight (its key fetch, or its
        // connection kept alive between exchanges).
        : peers_(static_cast<int>(std::count(round.begin(), round.end(), Peer::stall)) + 2 * kInFlight) {
        for (int p = 0; p < kPeerCount; ++p) {
            auto client = std::make_unique<Veilrelay>(peers_.url(static_cast<Peer>(p)), /*allow_http=*/true);
            client->load_keys(key_path.string());
            ossara::detail::ClientTestAccess::set_http_limits(*client, kLimits);
            clients_.push_back(std::move(client));
        }
    }
    Veilrelay& client(Peer peer) { return *clients_[static_cast<std::size_t>(peer)]; }

private:
    SoakPeers peers_;
    std::vector<std::unique_ptr<Veilrelay>> clients_;
};

struct Round {
    Peers* peers;
    std::vector<Outcome> outcomes;
    std::size_t next = 0;
};

// One of the workers of a round: takes the next exchange until none is left.
asio::awaitable<void> worker(Round* round) {
    while (round->next < round->outcomes.size()) {
        Outcome& o = round->outcomes[round->next++];
        const json payload = {{"model", "echo-1"},
                              {"messages", json::array({json{{"role", "user"}, {"content", "soak " + o.payload_id}}})}};
        const auto start = std::chrono::steady_clock::now();
        std::exception_ptr failure;
        try {
            o.answer = co_await round->peers->client(o.peer).send_secure_request(payload, o.payload_id);
        } catch (...) {
            failure = std::current_exception();
        }
        o.elapsed = std::chrono::steady_clock::now() - start;
        if (!failure) continue;
        try {
            std::rethrow_exception(failure);
        } catch (const APIError& e) {
            o.error_type = typeid(e).name();
            o.message = e.what();
            o.status = e.status_code;
            o.details = e.error_details;
        } catch (const std::exception& e) {
            o.error_type = typeid(e).name();
            o.message = e.what();
        }
    }
}

// Runs one exchange with each of `chosen`; returns the outcomes.
std::vector<Outcome> run_round(Peers& peers, const std::vector<Peer>& chosen, const std::string& tag) {
    Round round{&peers, std::vector<Outcome>(chosen.size())};
    for (std::size_t i = 0; i < chosen.size(); ++i) {
        round.outcomes[i].peer = chosen[i];
        round.outcomes[i].payload_id = tag + "-" + std::to_string(i);
    }
    asio::io_context io;
    for (int w = 0; w < kInFlight; ++w) asio::co_spawn(io, worker(&round), [](std::exception_ptr e) {
        if (e) std::rethrow_exception(e);
    });
    io.run();
    return std::move(round.outcomes);
}

class FaultSoakTest : public ::testing::Test {
protected:
    void SetUp() override {
        previous_handler_ = set_warning_handler([](auto, auto, const auto&) {});
        key_path_ = keys_dir_.path() / "client.pem";
        write_file(key_path_, vector_text("client_private_key_pem"));
    }
    void TearDown() override { set_warning_handler(previous_handler_); }

    TempDir keys_dir_;
    std::filesystem::path key_path_;
    WarningHandler previous_handler_;
};

TEST_F(FaultSoakTest, EveryExchangeEndsInItsAnswerOrItsErrorAndNothingIsLeftOpen) {
    std::mt19937 random(kSeed);
    {
        const auto chosen = pick_peers(kWarmUpExchanges, random);
        Peers peers(key_path_, chosen);  // the clients create the logger
        LogCapture quiet("ossara.Veilrelay");
        const auto warm_up = run_round(peers, chosen, "warm-up");
        for (const auto& o : warm_up) ASSERT_FALSE(mismatch(o)) << *mismatch(o);
    }
    const int descriptors_before = open_descriptors();
    [[maybe_unused]] const long resident_before = resident_bytes();

    std::vector<Outcome> outcomes;
    std::size_t catch_all_lines = 0;
    {
        const auto chosen = pick_peers(kExchanges, random);
        Peers peers(key_path_, chosen);
        LogCapture log("ossara.Veilrelay");
        outcomes = run_round(peers, chosen, "soak");
        for (const auto& line : log.lines_at(spdlog::level::err))
            catch_all_lines += line.starts_with("Unexpected error in send_secure_request") ? 1 : 0;
    }

    ASSERT_EQ(outcomes.size(), static_cast<std::size_t>(kExchanges));
    int seen[kPeerCount] = {};
    int wrong = 0;
    int normal_answered = 0;
    int timeouts = 0;
    std::size_t catch_all_errors = 0;
    for (const auto& o : outcomes) {
        ++seen[static_cast<int>(o.peer)];
        normal_answered += o.peer == Peer::normal && o.answer ? 1 : 0;
        timeouts += o.peer != Peer::stall && o.peer != Peer::silent && timed_out(o) ? 1 : 0;
        if (const auto reason = mismatch(o); reason && ++wrong <= 10) ADD_FAILURE() << o.payload_id << ": " << *reason;
        EXPECT_LT(o.elapsed, kDeadline) << o.payload_id << " took too long";
        catch_all_errors += o.message == "Request failed due to an unexpected error" ? 1 : 0;
    }
    EXPECT_EQ(wrong, 0);
    // Timeouts of peers that answer are the machine's, not the client's: a
    // few under load, never most of them.
    std::printf("[ measured ] %d normal exchanges answered of %d; %d timeouts of peers that answer\n",
                normal_answered, seen[static_cast<int>(Peer::normal)], timeouts);
    EXPECT_GT(normal_answered, seen[static_cast<int>(Peer::normal)] / 2);
    for (int p = 0; p < kPeerCount; ++p) EXPECT_GT(seen[p], 0) << kPeerNames[p] << " never chosen";
    // The catch-all logs exactly once for each error it raises.
    EXPECT_EQ(catch_all_lines, catch_all_errors);

    EXPECT_EQ(open_descriptors(), descriptors_before) << "file descriptors left open";
#ifndef OSSARA_SANITIZED_ALLOCATOR
    const long grown = resident_bytes() - resident_before;
    EXPECT_LT(grown, 16L << 20) << "resident memory grew by " << grown << " bytes";
#endif
}

}  // namespace
}  // namespace ossara::testing
