#pragma once
// The chunked transfer coding of a request body, decoded as it arrives.
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

namespace ossara::http_server {

struct ChunkedLimits {
    std::size_t max_body = 16u << 20;  // payload bytes
    // Trailer fields are read and dropped, but each costs a line's worth of
    // reading: their number and their bytes (with line ends) are bounded.
    std::size_t max_trailer_fields = 32;
    std::size_t max_trailer_bytes = 16 * 1024;
};

// Incremental decoder of a chunked body: feed it what arrived, it appends
// the payload to `out` and says when the last chunk (and its trailer) has
// been read. Strict, so that no other parser reads the same bytes another
// way: every line ends with CRLF (a bare CR or LF is malformed), a size line
// is hex digits with extensions of tokens and quoted strings and nothing
// else (no spaces), a trailer line is a well-formed field line. Appends at
// most as many bytes as it consumes.
class ChunkedDecoder {
public:
    enum class State { more, done, too_large, malformed, trailer_too_large };
    explicit ChunkedDecoder(std::size_t max_body) : ChunkedDecoder(ChunkedLimits{max_body}) {}
    explicit ChunkedDecoder(const ChunkedLimits& limits) : limits_(limits) {}
    // Consumes from `input` what it can; returns the state and how many bytes were used.
    std::pair<State, std::size_t> feed(std::string_view input, std::string& out);

private:
    enum class Phase { size_line, data, data_crlf, trailer } phase_ = Phase::size_line;
    State end_of_line(std::string& out);

    ChunkedLimits limits_;
    std::size_t remaining_ = 0;
    std::size_t trailer_fields_ = 0;
    std::size_t trailer_bytes_ = 0;
    std::string line_;  // the line read so far, without its CR
    bool after_cr_ = false;
};

}  // namespace ossara::http_server
