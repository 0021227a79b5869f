#pragma once
// What the router checks about its model server before serving: that the
// --upstream URL has a form that can work, and that GET {upstream}/models
// answers with a model list. A URL that can never work is refused at start
// with the reason, instead of failing every request later.
#include "upstream_client.hpp"

#include <nlohmann/json.hpp>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace veilrelay_router {

// std::invalid_argument naming the fault when `url` cannot work: a scheme
// other than http or https, no host, an empty or invalid port, user
// information (credentials belong in --upstream-api-key-file), a query or a
// fragment (the router appends paths). Returns a note when the URL may
// work but looks wrong: without a path, where OpenAI-compatible servers
// usually serve under /v1.
std::optional<std::string> check_upstream_url(std::string_view url);

// The model list in a GET /models answer: {"object": "list", "data": [...]}
// with the data entries that are objects with a string "id", each as sent;
// nothing when the body is not such a list.
std::optional<nlohmann::ordered_json> model_list_of(std::string_view body);

struct ProbeReport {
    bool ok = false;
    std::string text;  // one plain sentence for the operator
};

// Asks GET {upstream}/models and says what it found.
ProbeReport probe_model_server(const UpstreamSettings& settings, std::chrono::milliseconds timeout);

}  // namespace veilrelay_router
