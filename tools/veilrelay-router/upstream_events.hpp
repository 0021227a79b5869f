#pragma once
// The model server's server-sent events, split out of its body as the pieces
// arrive: lines ended by LF, CRLF or CR (a CRLF cut between two pieces is
// still one line end), a byte-order mark first, comments and fields other
// than "data" skipped, the data lines of one event joined by LF. Every byte
// lives in wiping buffers: growing, taking events out and the end leave no
// copy of the answer behind.
#include "wiping_buffer.hpp"

#include <cstddef>
#include <optional>
#include <string_view>

namespace veilrelay_router {

class UpstreamEvents {
public:
    // `max_event_bytes` bounds one event (its lines, data and the rest).
    explicit UpstreamEvents(std::size_t max_event_bytes);

    // Adds body bytes. False when the event in progress passes the bound
    // (nothing is taken then).
    bool feed(std::string_view piece);
    // The data of the next complete event among the bytes fed, valid until
    // the next call; nothing when no complete event is left.
    std::optional<std::string_view> next();

private:
    // Takes the field of one line (without its line end).
    void take_line(std::string_view line);

    std::size_t max_event_bytes_;
    WipingBuffer input_;  // bytes fed and not yet taken as lines
    WipingBuffer data_;   // the current event's data lines so far
    WipingBuffer event_;  // the last event handed out
    std::size_t scanned_ = 0;  // of input_, searched for a line end without finding one
    bool has_data_ = false;
    bool skip_lf_ = false;    // the last line ended with CR: an LF next belongs to it
    bool at_start_ = true;    // nothing of the body taken yet (a byte-order mark may come)
};

}  // namespace veilrelay_router
