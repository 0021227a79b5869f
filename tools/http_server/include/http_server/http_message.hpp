#pragma once
// HTTP/1.1 requests and answers as the event-driven server reads and writes
// them: a strict, bounded parser of the request head, the body's framing,
// and the answer's head. Pure functions, so each can be tested alone.
#include "http_server/chunked_decoder.hpp"

#include <asio/awaitable.hpp>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace ossara::http_server {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// The first header named `name` (any case), if any.
const std::string* find_header(const HeaderList& headers, std::string_view name);

struct HttpRequest {
    std::string method;
    std::string target;  // as sent: path and query
    std::string path;    // the target up to '?'
    int minor_version = 1;
    HeaderList headers;
    std::string body;
    std::string remote;  // the peer's address, for logs

    bool has_header(std::string_view name) const { return find_header(headers, name) != nullptr; }
    // The header's value, or "" when absent.
    std::string header(std::string_view name) const;
};

// Writes one piece of a streamed answer and returns once it is handed to
// the connection (each piece is flushed as it is written).
using StreamWrite = std::function<asio::awaitable<void>(std::string_view piece)>;

struct HttpResponse {
    int status = 200;
    HeaderList headers;
    std::string body;
    bool close = false;  // end the connection after this answer
    // When set, the answer is streamed: the head goes out with chunked
    // transfer coding, then this writes the pieces (`body` is not sent).
    // It may wait between pieces as long as it likes; a peer that does not
    // take a piece within the write deadline, or a shutdown past its grace,
    // ends it.
    std::function<asio::awaitable<void>(const StreamWrite&)> stream;

    // Replaces a header of that name (any case), or adds it.
    void set_header(std::string_view name, std::string value);
    std::string header(std::string_view name) const;
    void set_content(std::string content, std::string_view content_type);
};

// Why a request head cannot be served; the answer's status.
struct HeadError {
    int status;
    std::string message;
};

struct HeadLimits {
    std::size_t max_headers = 100;
};

// Parses a request head: the request line and the header lines up to and
// without the empty line. Refuses what HTTP/1.1 forbids or what could be read
// two ways by two parsers (400 unless said otherwise): a bare CR or LF
// anywhere, control characters, folded lines, spaces before a colon, a
// method other than the standard ones (501), a target that is not a path of
// visible ASCII, a version other than 1.0 and 1.1 (505), more than one
// Host (or none, in HTTP/1.1), more than one Content-Length, a
// Content-Length beside Transfer-Encoding, a Transfer-Encoding (all its
// lines together) that does not end with chunked or names it twice, and
// any transfer coding besides chunked (501).
std::variant<HttpRequest, HeadError> parse_request_head(std::string_view head, const HeadLimits& limits = {});

// Whether `text` holds, from `from` on, a CR not followed by LF or an LF not
// preceded by CR (a CR at its very end may still be followed by one).
bool has_bare_cr_or_lf(std::string_view text, std::size_t from = 0);

// How the body of a parsed request is delimited.
struct BodyFraming {
    enum class Kind { none, length, chunked } kind = Kind::none;
    std::size_t length = 0;
};
BodyFraming body_framing(const HttpRequest& request);

// Whether the connection may carry another request after this one: not when
// any Connection line lists "close"; in HTTP/1.0 only when one lists "keep-alive".
bool keeps_alive(const HttpRequest& request);

std::string_view reason_phrase(int status);

// The status line and headers of `response`, with Content-Length (or
// Transfer-Encoding: chunked when `chunked`) and Connection: close when the
// connection ends after it; up to and with the empty line.
std::string response_head(const HttpResponse& response, bool chunked = false);

}  // namespace ossara::http_server
