#pragma once
// How an upstream failure reaches the client: one table from what the model
// server did to the status and `detail` the router answers with, chosen so
// that the client's typed errors mean the same thing as before the router.
#include "upstream_client.hpp"

#include <chrono>
#include <string>
#include <string_view>

namespace veilrelay_router {

struct RouterAnswer {
    int status;
    std::string detail;
};

// `result` is anything but a 200 answer.
RouterAnswer map_upstream_failure(const UpstreamResult& result, std::chrono::milliseconds timeout);

// The model server's own message in an error body: OpenAI's
// {"error": {"message": ...}}, {"error": "..."}, {"detail": ...},
// {"message": ...}, else the body text itself; bounded in length.
std::string upstream_message(std::string_view body, long http_status);

}  // namespace veilrelay_router
