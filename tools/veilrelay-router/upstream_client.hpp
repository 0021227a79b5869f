#pragma once
// The calls to the model server: POST {base}/chat/completions with the
// payload as JSON, and GET {base}/models; one libcurl easy handle per call
// on the calling thread (every request has its own worker thread, so calls
// run side by side).
#include "wiping_buffer.hpp"

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace veilrelay_router {

struct UpstreamSettings {
    std::string base_url;                  // e.g. "http://127.0.0.1:8000/v1", no trailing slash needed
    std::optional<std::string> api_key;    // sent as "Authorization: Bearer <key>"
    std::chrono::milliseconds timeout{300'000};  // whole call, connecting included
    std::optional<std::string> ca_file;    // verify an https upstream against this bundle only
    std::size_t max_answer_bytes = 32u << 20;
};

struct UpstreamResult {
    enum class Outcome {
        answered,     // an HTTP answer arrived: see http_status and body
        unreachable,  // no connection (refused, name, TLS)
        timed_out,    // the timeout passed, in any phase
        too_large,    // the answer passed max_answer_bytes
        failed,       // the connection broke or the peer spoke no HTTP
    } outcome = Outcome::failed;
    long http_status = 0;
    WipingBuffer body;
    // The answer's Retry-After value (seconds or an HTTP date), when it has
    // one that is safe to repeat in a header: printable ASCII, bounded.
    std::optional<std::string> retry_after;
    std::string error;  // libcurl's description when not answered

    explicit UpstreamResult(std::size_t limit) : body(limit) {}
};

// "{base}/chat/completions" with any trailing slashes of `base` removed.
std::string completions_url(std::string_view base_url);

// "{base}/models" likewise.
std::string models_url(std::string_view base_url);

UpstreamResult post_chat_completion(const UpstreamSettings& settings, std::string_view json_body);

// A model list is small; a larger answer is not one.
inline constexpr std::size_t kMaxModelListBytes = 1u << 20;

// GET {base}/models within `timeout` (at most the settings' own).
UpstreamResult get_models(const UpstreamSettings& settings, std::chrono::milliseconds timeout);

// The value of `line` when it is a Retry-After header line ("Retry-After: 14\r\n",
// any case) with a value fit to repeat: 1 to 64 printable ASCII characters.
std::optional<std::string> retry_after_value(std::string_view line);

}  // namespace veilrelay_router
