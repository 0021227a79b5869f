#include "support/soak_peers.hpp"

#include "support/test_data.hpp"

#include <iterator>
#include <utility>

namespace ossara::testing {

namespace {

using devrouter::CompletionBehaviour;
using Kind = CompletionBehaviour::Kind;

std::unique_ptr<devrouter::Router> start_router(CompletionBehaviour behaviour, int workers) {
    devrouter::RouterOptions options;
    options.server_key_pem = vector_text("server_private_key_pem");
    options.worker_threads = workers;
    auto router = std::make_unique<devrouter::Router>(std::move(options));
    router->set_completion_behaviour(std::move(behaviour));
    router->start();
    return router;
}

}  // namespace

std::vector<SoakPeer> pick_soak_peers(int count, std::mt19937& random) {
    std::discrete_distribution<int> pick(std::begin(kSoakPeerWeights), std::end(kSoakPeerWeights));
    std::vector<SoakPeer> peers(static_cast<std::size_t>(count));
    for (auto& peer : peers) peer = static_cast<SoakPeer>(pick(random));
    return peers;
}

SoakPeers::SoakPeers(int stall_workers, int workers) {
    routers_.push_back(start_router(CompletionBehaviour::of(Kind::normal), workers));
    routers_.push_back(start_router(CompletionBehaviour::of(Kind::stall), stall_workers));
    routers_.push_back(start_router(CompletionBehaviour::of(Kind::reset_mid_answer), workers));
    routers_.push_back(start_router(CompletionBehaviour::of(Kind::not_a_package), workers));
    routers_.push_back(start_router(
        CompletionBehaviour::answer(500, "<html><body>Internal Server Error</body></html>", "text/html"), workers));
    routers_.push_back(start_router(CompletionBehaviour::answer(429, R"({"detail": "slow down"})"), workers));
}

SoakPeers::~SoakPeers() {
    for (auto& router : routers_) router->stop();
}

std::string SoakPeers::url(SoakPeer peer) const {
    switch (peer) {
        case SoakPeer::normal: return routers_[0]->base_url();
        case SoakPeer::refused: return refused_.base_url();
        case SoakPeer::silent: return silent_.base_url();
        case SoakPeer::stall: return routers_[1]->base_url();
        case SoakPeer::reset: return routers_[2]->base_url();
        case SoakPeer::garbage: return routers_[3]->base_url();
        case SoakPeer::html_500: return routers_[4]->base_url();
        case SoakPeer::json_429: return routers_[5]->base_url();
    }
    return {};
}

}  // namespace ossara::testing
