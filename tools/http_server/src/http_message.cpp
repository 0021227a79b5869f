#include "http_server/http_message.hpp"

#include <algorithm>
#include <charconv>
#include <limits>

namespace ossara::http_server {

namespace {

bool iequals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
               return lower(x) == lower(y);
           });
}

bool is_token_char(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool is_token(std::string_view s) { return !s.empty() && std::all_of(s.begin(), s.end(), is_token_char); }

// A header value may hold visible ASCII, spaces, tabs and bytes >= 0x80.
bool is_field_value(std::string_view s) {
    return std::none_of(s.begin(), s.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return (u < 0x20 && c != '\t') || u == 0x7f;
    });
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

std::optional<std::size_t> decimal(std::string_view s) {
    if (s.empty() || s.size() > 19 || !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    std::size_t value = 0;
    std::from_chars(s.data(), s.data() + s.size(), value);
    return value;
}

HeadError bad(std::string message) { return {400, std::move(message)}; }

}  // namespace

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
    if (target.empty() || target.front() != '/' ||
        std::any_of(target.begin(), target.end(), [](char c) { return static_cast<unsigned char>(c) <= 0x20 || c == 0x7f; }))
        return bad("Malformed request target");
    if (version == "HTTP/1.1") request.minor_version = 1;
    else if (version == "HTTP/1.0") request.minor_version = 0;
    else return HeadError{505, "HTTP version not supported"};
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
        if (!is_field_value(value)) return bad("Malformed header value");
        if (request.headers.size() == limits.max_headers) return HeadError{431, "Too many header fields"};
        request.headers.emplace_back(line.substr(0, colon), value);
    }

    // One body length, and only one way to tell it.
    std::optional<std::size_t> length;
    for (const auto& [name, value] : request.headers) {
        if (!iequals(name, "Content-Length")) continue;
        const auto parsed = decimal(value);
        if (!parsed || (length && *length != *parsed)) return bad("Invalid Content-Length");
        length = parsed;
    }
    if (const std::string* coding = find_header(request.headers, "Transfer-Encoding")) {
        if (length) return bad("Content-Length and Transfer-Encoding together");
        if (!iequals(*coding, "chunked")) return HeadError{501, "Transfer coding not supported"};
    }
    if (request.minor_version == 0 && request.has_header("Transfer-Encoding"))
        return bad("Transfer-Encoding in an HTTP/1.0 request");
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
    const std::string connection = request.header("Connection");
    if (request.minor_version == 0) return iequals(trim(connection), "keep-alive");
    return !iequals(trim(connection), "close");
}

std::pair<ChunkedDecoder::State, std::size_t> ChunkedDecoder::feed(std::string_view input, std::string& out) {
    // A size line is hex digits, maybe extensions; 1 KiB is far more than any needs.
    constexpr std::size_t kMaxLine = 1024;
    std::size_t used = 0;
    while (used < input.size()) {
        if (phase_ == Phase::data) {
            const std::size_t n = std::min(remaining_, input.size() - used);
            out.append(input.substr(used, n));
            used += n;
            remaining_ -= n;
            if (remaining_ == 0) phase_ = Phase::data_crlf;
            continue;
        }
        const char c = input[used++];
        if (line_.size() == kMaxLine) return {State::malformed, used};
        line_ += c;
        if (!line_.ends_with("\r\n")) continue;
        const std::string_view line(line_.data(), line_.size() - 2);
        if (phase_ == Phase::data_crlf) {
            if (!line.empty()) return {State::malformed, used};
            phase_ = Phase::size_line;
        } else if (phase_ == Phase::trailer) {
            // Trailer fields are read and dropped; the empty line ends the body.
            if (line.empty()) {
                line_.clear();
                return {State::done, used};
            }
        } else {
            const std::string_view digits = line.substr(0, line.find(';'));
            std::size_t size = 0;
            const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), size, 16);
            if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size())
                return {State::malformed, used};
            if (size > max_body_ - std::min(max_body_, out.size())) return {State::too_large, used};
            remaining_ = size;
            phase_ = size == 0 ? Phase::trailer : Phase::data;
        }
        line_.clear();
    }
    return {State::more, used};
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
