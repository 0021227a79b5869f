#pragma once
// HTTP/1.1 requests and answers as the event-driven server reads and writes
// them: a strict, bounded parser of the request head, the body's framing,
// and the answer's head. Pure functions, so each can be tested alone.
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
// two ways by two parsers: folded lines, spaces before a colon, bare CR or
// LF inside a line, control characters, two different Content-Length values,
// a Content-Length beside Transfer-Encoding, a transfer coding other than
// chunked.
std::variant<HttpRequest, HeadError> parse_request_head(std::string_view head, const HeadLimits& limits = {});

// How the body of a parsed request is delimited.
struct BodyFraming {
    enum class Kind { none, length, chunked } kind = Kind::none;
    std::size_t length = 0;
};
BodyFraming body_framing(const HttpRequest& request);

// Whether the connection may carry another request after this one.
bool keeps_alive(const HttpRequest& request);

// Incremental decoder of a chunked body: feed it what arrived, it appends
// the payload to `out` and says when the last chunk (and its trailer) has
// been read. Bounded: at most `max_body` payload bytes, short size lines.
class ChunkedDecoder {
public:
    enum class State { more, done, too_large, malformed };
    explicit ChunkedDecoder(std::size_t max_body) : max_body_(max_body) {}
    // Consumes from `input` what it can; returns the state and how many bytes were used.
    std::pair<State, std::size_t> feed(std::string_view input, std::string& out);

private:
    enum class Phase { size_line, data, data_crlf, trailer } phase_ = Phase::size_line;
    std::size_t max_body_;
    std::size_t remaining_ = 0;
    std::string line_;
};

std::string_view reason_phrase(int status);

// The status line and headers of `response`, with Content-Length (or
// Transfer-Encoding: chunked when `chunked`) and Connection: close when the
// connection ends after it; up to and with the empty line.
std::string response_head(const HttpResponse& response, bool chunked = false);

}  // namespace ossara::http_server
