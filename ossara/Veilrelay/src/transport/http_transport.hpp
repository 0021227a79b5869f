#pragma once
// One HTTP exchange over libcurl's multi interface, driven by the caller's
// Asio executor. Each exchange has its own easy handle and connection (no
// connection reuse), both let go before the awaitable completes; the
// exchanges of one execution context share its multi handle.
#include <ossara/veilrelay/errors.hpp>

#include "transport/http_limits.hpp"

#include <asio/awaitable.hpp>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ossara::detail {

struct HttpRequest {
    enum class Method { get, post } method = Method::get;
    std::string url;
    std::vector<std::pair<std::string, std::string>> headers;  // sent in this order
    std::vector<std::uint8_t> body;                            // POST body, sent as is
    HttpLimits limits{};
    std::optional<std::string> ca_file;  // verify against this bundle instead of the system store
    // The proxy to go through; without one the transfer goes direct. No
    // proxy setting is ever taken from the environment.
    std::optional<std::string> proxy;
    // A 200 answer whose body passes this many bytes fails the transfer
    // (HttpError, kind other, naming the limit) as soon as it does.
    std::size_t max_body = 64 * 1024 * 1024;
    // Any other status: the first this many bytes of the body are kept, the
    // transfer ends there and the answer counts as complete.
    std::size_t max_error_body = 1024 * 1024;
    // A 200 answer with Content-Type text/event-stream is handed over as soon
    // as its body starts, the body then read piece by piece through
    // HttpResponse::stream (no max_body; curl stops reading while the reader
    // lags, so the buffer stays bounded). On Windows it arrives whole in
    // `body` instead, within max_body.
    bool accept_event_stream = false;
};

// The body of a streamed answer as it arrives. Destroying it ends the
// transfer when it still runs.
class BodyStream {
public:
    virtual ~BodyStream() = default;
    // Appends to `out` the bytes that arrived since the last call, waiting
    // for at least one until `deadline`. false (nothing appended) once the
    // body has ended normally. HttpError for a transfer failure, and kind
    // timeout at the deadline; ossara::CancelledError when cancelled. After
    // a failure or a cancellation the transfer is over.
    virtual asio::awaitable<bool> read(std::vector<std::uint8_t>& out,
                                       std::chrono::steady_clock::time_point deadline) = 0;
};

struct HttpResponse {
    long status = 0;
    std::vector<std::uint8_t> body;
    std::string content_type;            // as the answer declared it, or empty
    std::unique_ptr<BodyStream> stream;  // set for a streamed answer; `body` is then empty
};

// How a transfer failed, from the CURLcode (see classify in the transport).
enum class HttpFailure {
    could_not_connect,  // 6, 7, 35, 60 and other TLS/certificate codes
    timeout,            // 28, in any phase
    network,            // 55, 56: send/receive failed on an open connection
    other,              // 52, 18 and everything else (protocol violations)
};

// A transfer failure. Deliberately not an ossara::Exception: the public
// operations map it to their own error kinds. Its what() is curl's text.
class HttpError : public std::runtime_error {
public:
    HttpError(HttpFailure kind, int curl_code, const std::string& text)
        : std::runtime_error(text), kind_(kind), curl_code_(curl_code), throw_site_(capture_throw_site()) {}
    HttpFailure kind() const noexcept { return kind_; }
    int curl_code() const noexcept { return curl_code_; }
    // Where it was made, for the catch-all's record (see ossara::Exception).
    const ThrowSite& throw_site() const noexcept { return throw_site_; }

private:
    HttpFailure kind_;
    int curl_code_;
    ThrowSite throw_site_;
};

// Whether a Content-Type value names text/event-stream (any parameters after it).
bool is_event_stream(std::string_view content_type) noexcept;

// Performs the exchange on the current coroutine's executor. Throws HttpError
// on a transfer failure and ossara::CancelledError when cancelled (the
// transfer is removed at once).
asio::awaitable<HttpResponse> http_exchange(HttpRequest request);

}  // namespace ossara::detail
