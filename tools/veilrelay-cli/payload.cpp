#include "payload.hpp"

#include "exit_codes.hpp"
#include "text_input.hpp"

#include <openssl/rand.h>

#include <array>
#include <cstdint>
#include <stdexcept>

namespace veilrelay_cli {

ossara::json chat_payload(const std::string& model, const std::string& message) {
    ossara::json payload = ossara::json::object();
    payload["model"] = model;
    payload["messages"] = ossara::json::array({ossara::json{{"role", "user"}, {"content", message}}});
    return payload;
}

ossara::json payload_from_file(const std::filesystem::path& path, const std::optional<std::string>& model) {
    const std::string text = read_file(path);
    ossara::json payload = ossara::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (payload.is_discarded())
        throw InputError("payload file '" + path.string() + "' is not valid JSON");
    if (!payload.is_object())
        throw InputError("payload file '" + path.string() + "' must hold a JSON object, not " +
                         std::string(payload.type_name()));
    if (model) payload["model"] = *model;
    return payload;
}

std::string answer_text(const ossara::json& answer) {
    const auto no_content = [] {
        return std::runtime_error("the answer has no choices[0].message.content; run with --json to see all of it");
    };
    if (!answer.is_object()) throw no_content();
    const auto choices = answer.find("choices");
    if (choices == answer.end() || !choices->is_array() || choices->empty()) throw no_content();
    const auto& first = (*choices)[0];
    if (!first.is_object()) throw no_content();
    const auto message = first.find("message");
    if (message == first.end() || !message->is_object()) throw no_content();
    const auto content = message->find("content");
    if (content == message->end()) throw no_content();
    return content->is_string() ? content->get<std::string>() : content->dump();
}

std::string chunk_text(const ossara::json& chunk) {
    const auto choices = chunk.find("choices");
    if (choices == chunk.end() || !choices->is_array() || choices->empty() || !(*choices)[0].is_object()) return {};
    const auto& first = (*choices)[0];
    if (first.contains("message") && !first.contains("delta")) return answer_text(chunk);
    const auto delta = first.find("delta");
    if (delta == first.end() || !delta->is_object()) return {};
    const auto content = delta->find("content");
    return content != delta->end() && content->is_string() ? content->get<std::string>() : std::string();
}

std::string new_payload_id() {
    std::array<std::uint8_t, 16> random{};
    if (RAND_bytes(random.data(), static_cast<int>(random.size())) != 1)
        throw std::runtime_error("the random source failed");
    static constexpr char kHex[] = "0123456789abcdef";
    std::string id = "veilrelay-";
    for (const auto byte : random) {
        id.push_back(kHex[byte >> 4]);
        id.push_back(kHex[byte & 0x0f]);
    }
    return id;
}

}  // namespace veilrelay_cli
