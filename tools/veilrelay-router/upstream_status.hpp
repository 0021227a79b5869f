#pragma once
// How an upstream failure reaches the client: one table from what the model
// server did to the status and `detail` the router answers with, chosen so
// that the client's typed errors mean the same thing as before the router.
//
// A model server's error status passes through where the client library has
// a class for it (400, 403, 404, 429, 500, 503). 409, 413 and 422, which the
// library would report without the answer's body, travel as 400 (all three
// are the caller's request being refused) with `upstream_status` naming the
// original. Only a refusal of the router's own credentials (401, or 403 to
// the router's key) becomes 502: the caller cannot mend that.
#include "upstream_client.hpp"

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace veilrelay_router {

struct RouterAnswer {
    int status;
    std::string detail;
    std::optional<long> upstream_status{};  // the model server's status, when it answered
    // Whether the model server's error body (a JSON object) belongs in the
    // answer, sealed for the caller like a completion.
    bool relays_body = false;
};

// `result` is anything but a 200 answer; `sent_own_key` tells whether the
// router sent its own credentials to the model server.
RouterAnswer map_upstream_failure(const UpstreamResult& result, std::chrono::milliseconds timeout,
                                  bool sent_own_key);

// The same for an error status the model server named (in its answer's
// status line, or in an error object mid-stream); `message` gives its own
// message, asked for only where the answer carries it.
RouterAnswer map_upstream_status(long status, bool sent_own_key, const std::function<std::string()>& message);

// The model server's own message in an error body: OpenAI's
// {"error": {"message": ...}}, {"error": "..."}, {"detail": ...},
// {"message": ...}, else the body text itself; bounded in length.
std::string upstream_message(std::string_view body, long http_status);

}  // namespace veilrelay_router
