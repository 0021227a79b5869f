#pragma once
// The model-server calls of the event loops: every call runs on one libcurl
// multi handle driven by one thread of this class, so a request that waits
// for the model server holds no thread. The outcome is handed back on the
// awaiting coroutine's executor; cancelling the coroutine (shutdown) ends
// its call at once.
#include "upstream_client.hpp"

#include <asio/awaitable.hpp>

#include <chrono>
#include <memory>
#include <string_view>

namespace veilrelay_router {

class UpstreamCalls {
public:
    UpstreamCalls();
    // Ends the calls still running (failed, "router stopping") and joins.
    ~UpstreamCalls();
    UpstreamCalls(const UpstreamCalls&) = delete;
    UpstreamCalls& operator=(const UpstreamCalls&) = delete;

    // `json_body` must stay valid until the call ends.
    asio::awaitable<UpstreamResult> post_chat_completion(const UpstreamSettings& settings, std::string_view json_body);
    asio::awaitable<UpstreamResult> get_models(const UpstreamSettings& settings, std::chrono::milliseconds timeout);

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

}  // namespace veilrelay_router
