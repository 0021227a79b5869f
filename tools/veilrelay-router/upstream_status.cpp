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

RouterAnswer map_upstream_failure(const UpstreamResult& result, std::chrono::milliseconds timeout,
                                  bool sent_own_key) {
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
    return map_upstream_status(result.http_status, sent_own_key,
                               [&] { return upstream_message(result.body.text(), result.http_status); });
}

RouterAnswer map_upstream_status(long s, bool sent_own_key, const std::function<std::string()>& message) {
    const std::string code = std::to_string(s);
    const auto passed = [&](int status) { return RouterAnswer{status, message(), s, true}; };
    switch (s) {
        case 400: case 404: case 429: case 500: case 503: return passed(static_cast<int>(s));
        case 409: case 413: case 422: return passed(400);
        case 403:
            if (!sent_own_key) return passed(403);
            [[fallthrough]];
        case 401:
            return {502, "Model server refused the router's credentials (HTTP " + code + ")", s};
        default: break;
    }
    if (s >= 500 && s <= 599) return {502, "Model server error (HTTP " + code + "): " + message(), s};
    return {502, "Model server answered HTTP " + code, s};
}

}  // namespace veilrelay_router
