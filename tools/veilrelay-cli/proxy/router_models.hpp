#pragma once
// The router's model list for the proxy's GET /v1/models: the router serves
// the model server's list in clear at {router}/v1/models. It is fetched the
// way the client reaches the router (its CA file and proxy, no proxy
// environment variables), bounded in time and size.
#include <ossara/Veilrelay.hpp>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace veilrelay_cli {

// The list's "data" entries (objects with a string "id"); nothing when the
// router has no list, cannot be reached, or answers anything else.
std::optional<ossara::json> fetch_router_models(const ossara::Veilrelay& client,
                                                const std::optional<std::string>& api_key,
                                                std::chrono::milliseconds timeout);

// The list the proxy answers with: the router's entries, then each
// configured name the router did not list (so --model names keep working).
ossara::json merged_model_list(const std::optional<ossara::json>& router_entries,
                               const std::vector<std::string>& configured);

}  // namespace veilrelay_cli
