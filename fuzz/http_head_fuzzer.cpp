// The HTTP server's request-head parser: never crashes, refuses with a 4xx
// or 5xx status, and what it accepts is clean (a standard method, a target
// of visible ASCII, header names that are tokens, values without control
// bytes, one Host in HTTP/1.1, one way to tell the body's length). Written
// out again, an accepted head parses to the same request.
#include "fuzz_check.hpp"

#include <http_server/http_message.hpp>

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace {

namespace hs = ossara::http_server;

bool has_control_byte(std::string_view s, bool tab_allowed) {
    return std::any_of(s.begin(), s.end(), [tab_allowed](char c) {
        const auto u = static_cast<unsigned char>(c);
        return (u < 0x20 && !(tab_allowed && c == '\t')) || u == 0x7f;
    });
}

std::string written_out(const hs::HttpRequest& request) {
    std::string head = request.method + " " + request.target + " HTTP/1." + std::to_string(request.minor_version) + "\r\n";
    for (const auto& [name, value] : request.headers) head += name + ": " + value + "\r\n";
    return head;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view head(reinterpret_cast<const char*>(data), size);
    const auto parsed = hs::parse_request_head(head, {16});
    if (const auto* error = std::get_if<hs::HeadError>(&parsed)) {
        OSSARA_FUZZ_CHECK(error->status >= 400 && error->status <= 505);
        OSSARA_FUZZ_CHECK(!error->message.empty());
        return 0;
    }
    const auto& request = std::get<hs::HttpRequest>(parsed);
    OSSARA_FUZZ_CHECK(!hs::has_bare_cr_or_lf(head));
    OSSARA_FUZZ_CHECK(request.minor_version == 0 || request.minor_version == 1);
    OSSARA_FUZZ_CHECK(!request.target.empty() && request.target.front() == '/');
    OSSARA_FUZZ_CHECK(std::none_of(request.target.begin(), request.target.end(),
                                   [](char c) { return static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7f; }));
    OSSARA_FUZZ_CHECK(request.target.starts_with(request.path));
    OSSARA_FUZZ_CHECK(request.headers.size() <= 16);
    std::size_t hosts = 0;
    for (const auto& [name, value] : request.headers) {
        OSSARA_FUZZ_CHECK(!name.empty() && !has_control_byte(name, false) && name.find_first_of(" :") == std::string::npos);
        OSSARA_FUZZ_CHECK(!has_control_byte(value, true));
        OSSARA_FUZZ_CHECK(value.empty() || (value.front() != ' ' && value.front() != '\t' && value.back() != ' ' &&
                                            value.back() != '\t'));
        hosts += name.size() == 4 && (name[0] | 0x20) == 'h' && (name[1] | 0x20) == 'o' && (name[2] | 0x20) == 's' &&
                 (name[3] | 0x20) == 't';
    }
    OSSARA_FUZZ_CHECK(hosts == 1 || (hosts == 0 && request.minor_version == 0));

    // The body is framed one way: chunked only without a length, a length only as digits.
    const hs::BodyFraming framing = hs::body_framing(request);
    if (framing.kind == hs::BodyFraming::Kind::chunked) {
        OSSARA_FUZZ_CHECK(!request.has_header("Content-Length") && request.minor_version == 1);
    }
    if (framing.kind == hs::BodyFraming::Kind::length) {
        OSSARA_FUZZ_CHECK(!request.has_header("Transfer-Encoding") && framing.length > 0);
        OSSARA_FUZZ_CHECK(std::to_string(framing.length) == request.header("Content-Length").substr(
                                                                 request.header("Content-Length").find_first_not_of('0')));
    }
    (void)hs::keeps_alive(request);

    const auto again = hs::parse_request_head(written_out(request), {16});
    OSSARA_FUZZ_CHECK(std::holds_alternative<hs::HttpRequest>(again));
    const auto& same = std::get<hs::HttpRequest>(again);
    OSSARA_FUZZ_CHECK(same.method == request.method && same.target == request.target &&
                      same.minor_version == request.minor_version && same.headers == request.headers);
    return 0;
}
