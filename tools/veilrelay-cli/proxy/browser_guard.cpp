#include "browser_guard.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace veilrelay_cli {

namespace {

namespace hs = ossara::http_server;

// Longest Access-Control-Request-Headers value repeated in a preflight answer.
constexpr std::size_t kMaxRequestedHeaders = 1024;
constexpr const char* kDefaultAllowedHeaders = "Authorization, Content-Type, X-Request-ID, X-Security-Tier";

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// A host and port as a Host header (or --allow-host) writes them: the host
// in lower case, an IPv6 address with its brackets.
struct Authority {
    std::string host;
    std::optional<int> port;
};

std::optional<Authority> parse_authority(std::string_view text) {
    std::string_view host = text;
    std::string_view port_text;
    bool has_port = false;
    if (text.starts_with('[')) {
        const auto close = text.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        host = text.substr(0, close + 1);
        const std::string_view rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') return std::nullopt;
            has_port = true;
            port_text = rest.substr(1);
        }
    } else if (const auto colon = text.find(':'); colon != std::string_view::npos) {
        host = text.substr(0, colon);
        has_port = true;
        port_text = text.substr(colon + 1);
    }
    if (host.empty() || host.size() > 255) return std::nullopt;
    Authority authority{lower(host), std::nullopt};
    if (has_port) {
        int port = -1;
        const auto [end, ec] = std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
        if (port_text.empty() || port_text.size() > 5 || ec != std::errc() ||
            end != port_text.data() + port_text.size() || port < 0 || port > 65535)
            return std::nullopt;
        authority.port = port;
    }
    return authority;
}

std::optional<std::string> header_value(const hs::HttpRequest& req, std::string_view name) {
    if (const std::string* value = hs::find_header(req.headers, name)) return *value;
    return std::nullopt;
}

// Whether `value` is a comma-separated list of header names (tokens).
bool is_header_name_list(std::string_view value) {
    if (value.empty() || value.size() > kMaxRequestedHeaders) return false;
    return std::all_of(value.begin(), value.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == ',' || c == ' ';
    });
}

}  // namespace

bool is_allowed_host(const BrowserPolicy& policy, int own_port, std::string_view host) {
    const auto authority = parse_authority(trim(host));
    if (!authority) return false;
    const int port = authority->port.value_or(80);
    // An IPv6 listen address is written in brackets in a Host header. Built by
    // appending: g++ 12's -Wrestrict misreads "[" + std::string&& (a false positive).
    std::string listen = lower(policy.listen_host);
    if (listen.find(':') != std::string::npos) {
        listen.reserve(listen.size() + 2);
        listen.insert(listen.begin(), '[');
        listen.push_back(']');
    }
    for (const std::string_view own : {std::string_view(listen), std::string_view("localhost"),
                                       std::string_view("127.0.0.1"), std::string_view("[::1]")})
        if (authority->host == own && port == own_port) return true;
    for (const std::string& allowed : policy.allowed_hosts) {
        const auto named = parse_authority(allowed);
        if (named && named->host == authority->host && (!named->port || *named->port == port)) return true;
    }
    return false;
}

bool is_allowed_origin(const BrowserPolicy& policy, const std::optional<std::string>& origin) {
    if (!origin) return true;
    const std::string presented = lower(trim(*origin));
    return std::any_of(policy.allowed_origins.begin(), policy.allowed_origins.end(),
                       [&](const std::string& allowed) { return lower(trim(allowed)) == presented; });
}

bool is_json_media_type(std::string_view content_type) {
    return lower(trim(content_type.substr(0, content_type.find(';')))) == "application/json";
}

std::optional<ErrorReply> browser_refusal(const BrowserPolicy& policy, int port, const hs::HttpRequest& req) {
    const auto host = header_value(req, "Host");
    if (!host || !is_allowed_host(policy, port, *host))
        return ErrorReply{421, "invalid_request_error", "misdirected_request",
                          "The Host header does not name this proxy (--allow-host NAME serves another name)"};
    if (!is_allowed_origin(policy, header_value(req, "Origin")))
        return ErrorReply{403, "permission_error", "origin_not_allowed",
                          "Requests from web pages are refused unless their origin is given with --allow-origin"};
    if (req.method == "POST" && !is_json_media_type(req.header("Content-Type")))
        return ErrorReply{415, "invalid_request_error", "unsupported_media_type",
                          "The request body must be sent as Content-Type: application/json"};
    return std::nullopt;
}

std::optional<hs::HttpResponse> preflight_answer(const BrowserPolicy& policy, const hs::HttpRequest& req) {
    const auto origin = header_value(req, "Origin");
    if (req.method != "OPTIONS" || !origin || !req.has_header("Access-Control-Request-Method") ||
        !is_allowed_origin(policy, origin))
        return std::nullopt;
    hs::HttpResponse res;
    res.status = 200;
    add_cors_headers(policy, req, res);
    res.set_header("Access-Control-Allow-Methods", "GET, POST");
    const std::string requested(trim(req.header("Access-Control-Request-Headers")));
    res.set_header("Access-Control-Allow-Headers",
                   is_header_name_list(requested) ? requested : std::string(kDefaultAllowedHeaders));
    res.set_header("Access-Control-Max-Age", "600");
    // A public page asking for a loopback address (Private Network Access).
    if (lower(trim(req.header("Access-Control-Request-Private-Network"))) == "true")
        res.set_header("Access-Control-Allow-Private-Network", "true");
    return res;
}

void add_cors_headers(const BrowserPolicy& policy, const hs::HttpRequest& req, hs::HttpResponse& res) {
    const auto origin = header_value(req, "Origin");
    if (!origin || !is_allowed_origin(policy, origin)) return;
    res.set_header("Access-Control-Allow-Origin", *origin);
    res.set_header("Access-Control-Expose-Headers", "X-Request-ID, Retry-After");
    res.set_header("Vary", "Origin");
}

}  // namespace veilrelay_cli
