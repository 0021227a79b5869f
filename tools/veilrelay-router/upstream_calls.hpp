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
#include <optional>
#include <string>
#include <string_view>

namespace veilrelay_router {

// A streamed answer of the model server as it arrives. Pieces are the raw
// body bytes; once the model server has answered, `status()` and
// `content_type()` tell what it is. Owned by the caller; closing it (or
// destroying it) ends the call.
class UpstreamStream {
public:
    struct State;
    explicit UpstreamStream(std::shared_ptr<State> state);
    ~UpstreamStream();
    UpstreamStream(UpstreamStream&&) noexcept;
    UpstreamStream& operator=(UpstreamStream&&) noexcept;

    // The bytes that arrived since the last call (waiting for some), or
    // nothing at the end; then result() tells how the call ended (its body
    // is empty: the bytes went out as pieces). The pieces are wiped when
    // they go.
    asio::awaitable<std::optional<WipingBuffer>> next();
    // Waits for the answer's head; false when no answer came (see result()).
    asio::awaitable<bool> answered();
    long status() const;
    std::string content_type() const;
    // The head's Retry-After, when it had one fit to repeat.
    std::optional<std::string> retry_after() const;
    const UpstreamResult& result() const;

private:
    std::shared_ptr<State> state_;
};

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
    // POST {base}/chat/completions, the answer read as it comes. No bound on
    // the whole call: the settings' timeout bounds the connection and each
    // silence (less than a byte a second for that long ends the call).
    // At most `max_buffered` bytes wait unread, else the call ends too_large.
    // `json_body` must stay valid until the stream is destroyed.
    UpstreamStream open_stream(const UpstreamSettings& settings, std::string_view json_body,
                               std::size_t max_buffered = 8u << 20);

    // Ends the stream's call, if it still runs (from any thread).
    static void cancel(UpstreamStream::State& state);

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace veilrelay_router
