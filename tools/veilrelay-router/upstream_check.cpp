#include "upstream_check.hpp"

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace veilrelay_router {

namespace {

bool starts_with_nocase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
           });
}

[[noreturn]] void refuse(std::string_view url, const std::string& why) {
    throw std::invalid_argument("--upstream '" + std::string(url) + "' " + why +
                                " (expected e.g. http://127.0.0.1:8000/v1)");
}

}  // namespace

std::optional<std::string> check_upstream_url(std::string_view url) {
    std::string_view rest;
    if (starts_with_nocase(url, "http://")) rest = url.substr(7);
    else if (starts_with_nocase(url, "https://")) rest = url.substr(8);
    else refuse(url, "is not an absolute http:// or https:// URL");
    if (rest.find_first_of("?#") != std::string_view::npos) refuse(url, "has a query or fragment");
    if (std::any_of(rest.begin(), rest.end(), [](char c) { return c <= 0x20 || c == 0x7f; }))
        refuse(url, "contains spaces or control characters");

    const std::string_view authority = rest.substr(0, rest.find('/'));
    const std::string_view path = rest.substr(authority.size());
    if (authority.find('@') != std::string_view::npos)
        refuse(url, "carries credentials; give the model server's key with --upstream-api-key-file");

    std::string_view host = authority;
    std::optional<std::string_view> port;
    if (host.starts_with('[')) {
        const auto close = host.find(']');
        if (close == std::string_view::npos) refuse(url, "has an unclosed [IPv6] address");
        if (close + 1 < host.size()) {
            if (host[close + 1] != ':') refuse(url, "has text after its [IPv6] address");
            port = host.substr(close + 2);
        }
        host = host.substr(1, close - 1);
    } else if (const auto colon = host.rfind(':'); colon != std::string_view::npos) {
        port = host.substr(colon + 1);
        host = host.substr(0, colon);
    }
    if (host.empty()) refuse(url, "has no host");
    if (port) {
        if (port->empty()) refuse(url, "has an empty port after ':'");
        if (port->size() > 5 || !std::all_of(port->begin(), port->end(), [](char c) { return c >= '0' && c <= '9'; }))
            refuse(url, "has an invalid port '" + std::string(*port) + "'");
        const int number = std::stoi(std::string(*port));
        if (number < 1 || number > 65535) refuse(url, "has a port outside 1-65535");
    }
    if (path.find_first_not_of('/') == std::string_view::npos)
        return "--upstream '" + std::string(url) +
               "' has no path: the router calls {upstream}/chat/completions, and OpenAI-compatible servers "
               "usually serve under /v1 (e.g. http://127.0.0.1:8000/v1)";
    return std::nullopt;
}

std::optional<nlohmann::ordered_json> model_list_of(std::string_view body) {
    const auto doc = nlohmann::ordered_json::parse(body, nullptr, /*allow_exceptions=*/false);
    if (!doc.is_object()) return std::nullopt;
    const auto data = doc.find("data");
    if (data == doc.end() || !data->is_array()) return std::nullopt;
    nlohmann::ordered_json list = {{"object", "list"}, {"data", nlohmann::ordered_json::array()}};
    for (const auto& entry : *data)
        if (entry.is_object() && entry.contains("id") && entry["id"].is_string()) list["data"].push_back(entry);
    return list;
}

ProbeReport probe_model_server(const UpstreamSettings& settings, std::chrono::milliseconds timeout) {
    const std::string url = models_url(settings.base_url);
    const UpstreamResult result = get_models(settings, timeout);
    using Outcome = UpstreamResult::Outcome;
    switch (result.outcome) {
        case Outcome::answered: break;
        case Outcome::too_large:
            return {false, "the model server's answer to GET " + url + " is too large for a model list: "
                           "this is not an OpenAI-compatible server"};
        default:
            return {false, "the model server does not answer at " + url + ": " + result.error};
    }
    const std::string status = std::to_string(result.http_status);
    if (result.http_status == 401 || result.http_status == 403)
        return {false, "the model server at " + url + " refused the router's credentials (HTTP " + status +
                           "); check --upstream-api-key-file"};
    if (result.http_status != 200)
        return {false, "the model server answered GET " + url + " with HTTP " + status +
                           ": this is not an OpenAI-compatible server at that URL (does --upstream end in /v1?)"};
    const auto list = model_list_of(result.body.text());
    if (!list)
        return {false, "the model server answered GET " + url +
                           " with something other than a model list: this is not an OpenAI-compatible server"};
    return {true, "the model server at " + settings.base_url + " lists " + std::to_string((*list)["data"].size()) +
                      " model(s)"};
}

}  // namespace veilrelay_router
