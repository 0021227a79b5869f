#include "upstream_status.hpp"

#include <nlohmann/json.hpp>

namespace veilrelay_router {

namespace {

constexpr std::size_t kMaxMessage = 1000;

std::string bounded(std::string text) {
    if (text.size() > kMaxMessage) {
        text.resize(kMaxMessage);
        // Do not end inside a UTF-8 sequence.
        while (!text.empty() && (static_cast<unsigned char>(text.back()) & 0xC0) == 0x80) text.pop_back();
        if (!text.empty() && static_cast<unsigned char>(text.back()) >= 0xC0) text.pop_back();
        text += "...";
    }
    return text;
}

std::string as_text(const nlohmann::json& value) {
    return value.is_string() ? value.get<std::string>()
                             : value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// Bytes that are not UTF-8 become U+FFFD, so the detail is a valid JSON string.
std::string valid_utf8(std::string_view text) {
    const std::string quoted =
        nlohmann::json(std::string(text)).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return nlohmann::json::parse(quoted).get<std::string>();
}

}  // namespace

std::string upstream_message(std::string_view body, long http_status) {
    const nlohmann::json doc = nlohmann::json::parse(body, nullptr, /*allow_exceptions=*/false);
    if (doc.is_object()) {
        if (const auto e = doc.find("error"); e != doc.end()) {
            if (e->is_object()) {
                if (const auto m = e->find("message"); m != e->end()) return bounded(as_text(*m));
            } else if (e->is_string()) {
                return bounded(e->get<std::string>());
            }
        }
        for (const char* name : {"detail", "message"})
            if (const auto m = doc.find(name); m != doc.end()) return bounded(as_text(*m));
    }
    std::string_view trimmed = body;
    while (!trimmed.empty() && (trimmed.back() == '\n' || trimmed.back() == '\r' || trimmed.back() == ' '))
        trimmed.remove_suffix(1);
    if (trimmed.empty()) return "HTTP " + std::to_string(http_status);
    return bounded(valid_utf8(trimmed.substr(0, kMaxMessage + 8)));
}

RouterAnswer map_upstream_failure(const UpstreamResult& result, std::chrono::milliseconds timeout) {
    using Outcome = UpstreamResult::Outcome;
    switch (result.outcome) {
        case Outcome::unreachable: return {503, "Model server unreachable"};
        case Outcome::timed_out: {
            const auto seconds = std::chrono::duration<double>(timeout).count();
            return {504, "Model server did not answer within " + nlohmann::json(seconds).dump() + " seconds"};
        }
        case Outcome::too_large: return {502, "Model server answer too large"};
        case Outcome::failed: return {502, "Model server connection failed"};
        case Outcome::answered: break;
    }
    const long s = result.http_status;
    const std::string code = std::to_string(s);
    if (s == 400 || s == 404 || s == 422) return {400, upstream_message(result.body.text(), s)};
    if (s == 401 || s == 403)
        return {502, "Model server refused the router's credentials (HTTP " + code + ")"};
    if (s == 429) return {429, upstream_message(result.body.text(), s)};
    if (s >= 500 && s <= 599)
        return {502, "Model server error (HTTP " + code + "): " + upstream_message(result.body.text(), s)};
    return {502, "Model server answered HTTP " + code};
}

}  // namespace veilrelay_router
