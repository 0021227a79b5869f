#pragma once
// The router's built-in model: answers a chat-completion request with the
// content of its last user message, in the usual chat.completion shape.
#include <nlohmann/json.hpp>

#include <string>

namespace ossara::router_protocol {

// Throws PackageError when the request has no usable messages.
nlohmann::ordered_json echo_completion(const nlohmann::ordered_json& request, const std::string& payload_id);

}  // namespace ossara::router_protocol
