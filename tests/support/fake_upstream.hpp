#pragma once
// A fake OpenAI-compatible model server on 127.0.0.1 for router tests:
// POST /v1/chat/completions records what it receives and answers as told
// (an answer, a status with a body, after a delay); GET /v1/models lists
// models (or answers as told, unrecorded). Other paths get 404.
//
//   FakeUpstream upstream;
//   upstream.reply_with({200, FakeUpstream::completion("hi", "m")});
//   ... router with --upstream upstream.base_url() ...
//   upstream.requests()[0].body   // the JSON the router forwarded
//   upstream.reply_with({200, "", "text/event-stream", {}, 0, {},
//                        FakeUpstream::events({FakeUpstream::chunk(R"({"content":"hi"})"), "[DONE]"})});
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ossara::testing {

struct UpstreamRequest {
    std::string path;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    std::optional<std::string> header(const std::string& name) const;  // case-insensitive
};

struct UpstreamReply {
    int status = 200;
    std::string body;
    std::string content_type = "application/json";
    std::chrono::milliseconds delay{0};  // wait before answering
    // When > 0: answer as soon as this many requests are inside the handler
    // together (`delay` is then the longest wait), to show they overlap.
    int hold_until_in_flight = 0;
    std::vector<std::pair<std::string, std::string>> headers{};  // added to the answer
    // When set, the body is these pieces instead, each written and flushed
    // on its own (chunked transfer coding), as a model server streams.
    std::vector<std::string> pieces{};
    // After the pieces, the connection breaks off: the chunked body never ends.
    bool cut = false;
};

// How the model server answers a streamed request, honestly or not.
enum class StreamShape {
    honest,        // the text in three chunks, a finish reason, [DONE]
    honest_cr,     // the same with a byte-order mark first and lines ended by CR alone
    whole,         // one chat.completion (application/json): "stream" ignored
    one_event,     // the whole text in one chunk event (non-ASCII escaped), with its finish reason
    error_object,  // the text, then {"error": {...}} naming 503, with Retry-After: 7 on the answer
    not_json,      // the text, then an event that is not JSON
    cut,           // the text, then the connection breaks off
};

class FakeUpstream {
public:
    explicit FakeUpstream(int worker_threads = 96);
    ~FakeUpstream();  // stops
    FakeUpstream(const FakeUpstream&) = delete;
    FakeUpstream& operator=(const FakeUpstream&) = delete;

    // "http://127.0.0.1:<port>/v1": what the router takes as --upstream.
    std::string base_url() const;
    int port() const;

    // What the next requests get (sticky); by default a completion of "ok".
    void reply_with(UpstreamReply reply);
    // What GET /v1/models gets (sticky); by default a list of "m1" and "m2".
    void models_reply_with(UpstreamReply reply);
    std::size_t models_request_count() const;

    std::vector<UpstreamRequest> requests() const;
    std::size_t request_count() const;
    // The most requests that were inside the handler at once.
    int max_in_flight() const;
    // When set, requests() keeps at most this many (the rest are only counted).
    void keep_at_most(std::size_t n);

    // An OpenAI-style chat.completion answer with `content`.
    static std::string completion(const std::string& content, const std::string& model);
    // A streamed answer's chat.completion.chunk object: `delta` as given,
    // `finish_reason` null unless named.
    static std::string chunk(const std::string& delta_json, const std::string& finish_reason = {});
    // "data: <text>\n\n" for each text.
    static std::vector<std::string> events(const std::vector<std::string>& data);
    // The answer of the given shape whose text (all chunks' content together) is `text`.
    static UpstreamReply streamed(StreamShape shape, const std::string& text);
    // The error object of StreamShape::error_object.
    static constexpr const char* kMidStreamError =
        R"({"message":"The model is overloaded","type":"server_error","param":null,"code":503})";
    // `bytes` (or a few more) of text with escapes, non-ASCII letters and emoji, each line numbered.
    static std::string long_text(std::size_t bytes);

    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace ossara::testing
