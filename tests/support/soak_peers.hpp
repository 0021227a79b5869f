#pragma once
// The misbehaving peers of the soak tests: a router for each way an answer
// can go wrong, a port that refuses connections and a listener that never
// accepts one, drawn at random in a fixed mix.
#include "devrouter/router.hpp"
#include "devrouter/test_servers.hpp"

#include <memory>
#include <random>
#include <string>
#include <vector>

namespace ossara::testing {

enum class SoakPeer { normal, refused, silent, stall, reset, garbage, html_500, json_429 };
inline constexpr int kSoakPeerCount = 8;
inline constexpr const char* kSoakPeerNames[kSoakPeerCount] = {"normal", "refused",  "silent",   "stall",
                                                               "reset",  "garbage", "html_500", "json_429"};
// Relative frequency of each peer in the random mix.
inline constexpr int kSoakPeerWeights[kSoakPeerCount] = {30, 12, 6, 8, 12, 12, 10, 10};

// `count` peers drawn at random with the weights above.
std::vector<SoakPeer> pick_soak_peers(int count, std::mt19937& random);

// One peer of each kind, on 127.0.0.1, for the object's life.
class SoakPeers {
public:
    // A stalled request holds its router's worker until the router stops:
    // `stall_workers` is how many the stalling router may hold at once;
    // `workers` the other routers' threads.
    explicit SoakPeers(int stall_workers, int workers = 16);
    ~SoakPeers();
    SoakPeers(const SoakPeers&) = delete;
    SoakPeers& operator=(const SoakPeers&) = delete;

    std::string url(SoakPeer peer) const;

private:
    std::vector<std::unique_ptr<devrouter::Router>> routers_;  // normal, stall, reset, garbage, html_500, json_429
    devrouter::SilentListener silent_;
    devrouter::ClosedPort refused_;
};

}  // namespace ossara::testing
