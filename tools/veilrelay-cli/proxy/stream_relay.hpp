#pragma once
// `"stream": true` through the proxy: the exchange is a streamed one, and
// each chunk goes to the caller as its own server-sent event as soon as the
// library has verified it. A router that answers whole is relayed as the
// events of that one answer. A caller that goes away ends the stream (the
// library then drops the transfer, and the router its model call).
#include <ossara/Veilrelay.hpp>
#include <http_server/http_message.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace veilrelay_cli {

struct StreamRequest {
    ossara::json payload;
    std::string id;
    std::optional<std::string> api_key;
    std::optional<std::string> tier;
    bool include_usage = false;
};

// Opens the stream and fills `res`: a streamed 200, or the error reply when
// the exchange failed before its first chunk. `done(status, bytes_out)` is
// called once the answer has ended (for the log line).
asio::awaitable<void> answer_streaming(ossara::Veilrelay& client, StreamRequest request,
                                       ossara::http_server::HttpResponse& res,
                                       std::function<void(int, std::size_t)> done);

}  // namespace veilrelay_cli
