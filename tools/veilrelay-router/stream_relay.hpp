#pragma once
// Streamed answers: the model server's chunks, each sealed for the caller
// and flushed as its own event as soon as it arrives (the event format is
// in router_protocol/stream_seal.hpp). The answer's events are written by
// the HTTP server after the handler returns, so everything they need is
// owned by the answer itself.
//
// The final chunk tells the truth: 200 only after the model server's [DONE]
// (or the end of its body after a finish reason); its error object, passed
// unchanged, when it reports one mid-stream; 502 or 504 with a `detail` for
// an event that is not a JSON object, one too large to cut into chunks, and
// a stream that breaks off. An event too large for one chunk is cut into
// several chunk objects (event_split.hpp), so the caller never has to refuse
// a chunk of an honest model server.
#include "request_log.hpp"
#include "upstream_calls.hpp"

#include <http_server/http_message.hpp>
#include <router_protocol/package_crypto.hpp>

#include <memory>
#include <string>

namespace spdlog {
class logger;
}

namespace veilrelay_router {

struct StreamContext {
    ossara::router_protocol::EvpKey client_key;
    std::string payload_id;
    RequestRecord record;  // logged when the stream ends
    std::shared_ptr<spdlog::logger> log;
    std::chrono::milliseconds upstream_timeout{};
    bool sent_own_key = false;
    // Bounds one event of the model server (as it bounds a whole answer).
    std::size_t max_answer_bytes = 32u << 20;
};

// Whether an Accept header takes server-sent events.
bool accepts_event_stream(std::string_view accept);

// Whether the model server answered with events (else it answered whole).
bool answers_with_events(const UpstreamStream& upstream);

// Answers with the model server's events (its status was 200).
void answer_streamed(ossara::http_server::HttpResponse& res, UpstreamStream upstream, StreamContext context);

// Answers with `answer` (a JSON object's text, wiped after use) as the only chunk.
void answer_streamed_whole(ossara::http_server::HttpResponse& res, std::string answer, StreamContext context);

// The rest of a model server's answer read whole (at most `limit` bytes
// kept): a refusal's body, or an answer that came whole.
asio::awaitable<UpstreamResult> read_whole(UpstreamStream& upstream, std::size_t limit);

}  // namespace veilrelay_router
