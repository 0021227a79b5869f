#include "router_protocol/echo_model.hpp"

#include "router_protocol/package_crypto.hpp"

#include <chrono>
#include <sstream>

namespace ossara::router_protocol {

namespace {

// A rough token count: whitespace-separated words.
long word_count(const std::string& text) {
    std::istringstream in(text);
    long n = 0;
    for (std::string word; in >> word;) ++n;
    return n;
}

}  // namespace

nlohmann::ordered_json echo_completion(const nlohmann::ordered_json& request, const std::string& payload_id) {
    if (!request.is_object()) throw PackageError("request is not a JSON object");
    const auto messages = request.find("messages");
    if (messages == request.end() || !messages->is_array()) throw PackageError("messages must be an array");

    long prompt_tokens = 0;
    const nlohmann::ordered_json* last_user = nullptr;
    for (const auto& message : *messages) {
        if (!message.is_object()) throw PackageError("each message must be an object");
        const auto content = message.find("content");
        if (content != message.end() && content->is_string()) prompt_tokens += word_count(content->get<std::string>());
        const auto role = message.find("role");
        if (role != message.end() && *role == "user" && content != message.end()) last_user = &*content;
    }
    if (last_user == nullptr) throw PackageError("no user message");

    const nlohmann::ordered_json& reply = *last_user;
    const long completion_tokens = reply.is_string() ? word_count(reply.get<std::string>()) : 0;
    const auto created = std::chrono::duration_cast<std::chrono::seconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
    const auto model = request.find("model");

    nlohmann::ordered_json answer;
    answer["id"] = "chatcmpl-" + payload_id;
    answer["object"] = "chat.completion";
    answer["created"] = created;
    answer["model"] = model != request.end() ? *model : nlohmann::ordered_json("echo");
    nlohmann::ordered_json choice;
    choice["index"] = 0;
    choice["message"] = {{"role", "assistant"}, {"content", reply}};
    choice["finish_reason"] = "stop";
    answer["choices"] = nlohmann::ordered_json::array({choice});
    answer["usage"] = {{"prompt_tokens", prompt_tokens},
                       {"completion_tokens", completion_tokens},
                       {"total_tokens", prompt_tokens + completion_tokens}};
    return answer;
}

}  // namespace ossara::router_protocol
