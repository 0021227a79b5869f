#include "http_server/http_message.hpp"

#include "http_grammar.hpp"

#include <algorithm>
#include <charconv>
#include <iterator>

namespace ossara::http_server {

namespace {

using grammar::iequals;
using grammar::is_token;
using grammar::trim;

std::optional<std::size_t> decimal(std::string_view s) {
    if (s.empty() || s.size() > 19 || !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    std::size_t value = 0;
    std::from_chars(s.data(), s.data() + s.size(), value);
    return value;
}

HeadError bad(std::string message) { return {400, std::move(message)}; }

// The methods of HTTP itself; anything else is answered 501 rather than
// passed on to handlers (and to whatever parser reads the request next).
bool is_standard_method(std::string_view method) {
    static constexpr std::string_view kMethods[] = {"GET",     "HEAD",    "POST",  "PUT",  "DELETE",
                                                    "OPTIONS", "CONNECT", "TRACE", "PATCH"};
    return std::find(std::begin(kMethods), std::end(kMethods), method) != std::end(kMethods);
}

// An origin-form target: a path (and query) of visible ASCII.
bool is_origin_target(std::string_view target) {
    return !target.empty() && target.front() == '/' && std::all_of(target.begin(), target.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u > 0x20 && u < 0x7f;
    });
}

// HTTP/<digit>.<digit>
bool is_http_version(std::string_view version) {
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    return version.size() == 8 && version.starts_with("HTTP/") && digit(version[5]) && version[6] == '.' &&
           digit(version[7]);
}

// Whether the comma-separated values of every `name` line list `token` (any case).
bool lists_token(const HeaderList& headers, std::string_view name, std::string_view token) {
    for (const auto& [key, value] : headers) {
        if (!iequals(key, name)) continue;
        if (!grammar::for_each_element(value, [token](std::string_view element) { return !iequals(element, token); }))
            return true;
    }
    return false;
}

// The transfer codings of all Transfer-Encoding lines together: nothing when
// they are fine (chunked, last and once, alone), else the refusal.
std::optional<HeadError> check_transfer_codings(const HeaderList& headers) {
    std::size_t codings = 0, chunked = 0;
    bool chunked_last = false, empty = false;
    for (const auto& [key, value] : headers) {
        if (!iequals(key, "Transfer-Encoding")) continue;
        grammar::for_each_element(value, [&](std::string_view coding) {
            empty = empty || coding.empty();
            ++codings;
            chunked_last = iequals(coding, "chunked");
            chunked += chunked_last;
            return true;
        });
    }
    if (empty || !chunked_last || chunked > 1) return bad("Invalid Transfer-Encoding");
    if (codings > 1) return HeadError{501, "Transfer coding not supported"};
    return std::nullopt;
}

}  // namespace

bool has_bare_cr_or_lf(std::string_view text, std::size_t from) {
    for (std::size_t i = from; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) return true;
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] != '\n') return true;
    }
    return false;
}

const std::string* find_header(const HeaderList& headers, std::string_view name) {
    for (const auto& [key, value] : headers)
        if (iequals(key, name)) return &value;
    return nullptr;
}

std::string HttpRequest::header(std::string_view name) const {
    const std::string* value = find_header(headers, name);
    return value ? *value : std::string();
}

void HttpResponse::set_header(std::string_view name, std::string value) {
    for (auto& [key, existing] : headers)
        if (iequals(key, name)) {
            existing = std::move(value);
            return;
        }
    headers.emplace_back(std::string(name), std::move(value));
}

std::string HttpResponse::header(std::string_view name) const {
    const std::string* value = find_header(headers, name);
    return value ? *value : std::string();
}

void HttpResponse::set_content(std::string content, std::string_view content_type) {
    body = std::move(content);
    set_header("Content-Type", std::string(content_type));
}

std::variant<HttpRequest, HeadError> parse_request_head(std::string_view head, const HeadLimits& limits) {
    if (has_bare_cr_or_lf(head) || (!head.empty() && head.back() == '\r')) return bad("Bare CR or LF in the request head");
    HttpRequest request;
    std::size_t line_end = head.find("\r\n");
    const std::string_view request_line = head.substr(0, line_end);
    // METHOD SP target SP HTTP/1.x, single spaces.
    const std::size_t sp1 = request_line.find(' ');
    const std::size_t sp2 = sp1 == std::string_view::npos ? sp1 : request_line.find(' ', sp1 + 1);
    if (sp2 == std::string_view::npos) return bad("Malformed request line");
    const std::string_view method = request_line.substr(0, sp1);
    const std::string_view target = request_line.substr(sp1 + 1, sp2 - sp1 - 1);
    const std::string_view version = request_line.substr(sp2 + 1);
    if (!is_token(method)) return bad("Malformed request method");
    if (!is_origin_target(target)) return bad("Malformed request target");
    if (version == "HTTP/1.1") request.minor_version = 1;
    else if (version == "HTTP/1.0") request.minor_version = 0;
    else if (is_http_version(version)) return HeadError{505, "HTTP version not supported"};
    else return bad("Malformed request line");
    if (!is_standard_method(method)) return HeadError{501, "Request method not implemented"};
    request.method = method;
    request.target = target;
    request.path = target.substr(0, target.find('?'));

    while (line_end != std::string_view::npos && line_end + 2 < head.size()) {
        const std::size_t start = line_end + 2;
        line_end = head.find("\r\n", start);
        const std::string_view line = head.substr(start, line_end == std::string_view::npos ? line_end : line_end - start);
        if (line.empty()) break;
        if (line.front() == ' ' || line.front() == '\t') return bad("Folded header lines are not accepted");
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos || !is_token(line.substr(0, colon))) return bad("Malformed header line");
        const std::string_view value = trim(line.substr(colon + 1));
        if (!grammar::is_field_value(value)) return bad("Malformed header value");
        if (request.headers.size() == limits.max_headers) return HeadError{431, "Too many header fields"};
        request.headers.emplace_back(line.substr(0, colon), value);
    }

    // One target host, one body length, and only one way to tell it.
    const auto count = [&request](std::string_view name) {
        return std::count_if(request.headers.begin(), request.headers.end(),
                             [name](const auto& header) { return iequals(header.first, name); });
    };
    const auto hosts = count("Host");
    if (hosts > 1 || (hosts == 0 && request.minor_version == 1)) return bad("A request needs exactly one Host");
    if (count("Content-Length") > 1) return bad("More than one Content-Length");
    if (const std::string* length = find_header(request.headers, "Content-Length"); length && !decimal(*length))
        return bad("Invalid Content-Length");
    if (request.has_header("Transfer-Encoding")) {
        if (request.minor_version == 0) return bad("Transfer-Encoding in an HTTP/1.0 request");
        if (request.has_header("Content-Length")) return bad("Content-Length and Transfer-Encoding together");
        if (auto refusal = check_transfer_codings(request.headers)) return *refusal;
    }
    return request;
}

BodyFraming body_framing(const HttpRequest& request) {
    if (request.has_header("Transfer-Encoding")) return {BodyFraming::Kind::chunked, 0};
    if (const std::string* length = find_header(request.headers, "Content-Length")) {
        const auto n = decimal(*length).value_or(0);
        return n == 0 ? BodyFraming{} : BodyFraming{BodyFraming::Kind::length, n};
    }
    return {};
}

bool keeps_alive(const HttpRequest& request) {
    if (lists_token(request.headers, "Connection", "close")) return false;
    return request.minor_version == 1 || lists_token(request.headers, "Connection", "keep-alive");
}

std::string_view reason_phrase(int status) {
    switch (status) {
        case 100: return "Continue";
        case 200: return "OK";
        case 204: return "No Content";
        case 400: return "Bad Request";
        case 401: return "Unauthorized";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 408: return "Request Timeout";
        case 409: return "Conflict";
        case 411: return "Length Required";
        case 413: return "Payload Too Large";
        case 415: return "Unsupported Media Type";
        case 421: return "Misdirected Request";
        case 422: return "Unprocessable Entity";
        case 429: return "Too Many Requests";
        case 431: return "Request Header Fields Too Large";
        case 500: return "Internal Server Error";
        case 501: return "Not Implemented";
        case 502: return "Bad Gateway";
        case 503: return "Service Unavailable";
        case 504: return "Gateway Timeout";
        case 505: return "HTTP Version Not Supported";
        default: return "Unknown";
    }
}

std::string response_head(const HttpResponse& response, bool chunked) {
    std::string head = "HTTP/1.1 " + std::to_string(response.status) + " ";
    head += reason_phrase(response.status);
    head += "\r\n";
    for (const auto& [name, value] : response.headers) {
        if (iequals(name, "Content-Length") || iequals(name, "Transfer-Encoding") || iequals(name, "Connection"))
            continue;
        head += name + ": " + value + "\r\n";
    }
    head += chunked ? std::string("Transfer-Encoding: chunked\r\n")
                    : "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
    if (response.close) head += "Connection: close\r\n";
    head += "\r\n";
    return head;
}

}  // namespace ossara::http_server
