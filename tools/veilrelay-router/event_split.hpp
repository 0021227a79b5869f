#pragma once
// What the stream relay must know of one model server event, and how an
// event larger than a chunk's bound becomes several chunk objects within it.
// Both work on the event's text in place (event_json.hpp): the pieces are
// written into wiping buffers and nothing else of the answer is copied.
#include "wiping_buffer.hpp"

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

namespace veilrelay_router {

struct EventFacts {
    enum class Kind {
        chunk,      // a JSON object without an error
        error,      // an object with an "error" member (an object or a string)
        malformed,  // not JSON, or JSON but not an object
    } kind = Kind::malformed;
    std::string_view object;           // the object's text, without surrounding whitespace
    bool finishes = false;             // a choice names a finish_reason (not null)
    std::string_view error;            // kind error: the "error" member's value
    std::string_view error_message;    // its message as written between quotes (escaped), if any
    std::optional<long> named_status;  // a status (400-599) it names in "code", "status" or "status_code"
};

EventFacts read_event(std::string_view data);

// Cuts a chunk object (`event`, as read_event found it) into chunk objects of
// at most `bound` bytes, in order: the event with its texts emptied and its
// finish reasons null (the role, tool-call ids and names, logprobs come
// there); then each text (content, reasoning_content, reasoning, refusal, a
// tool call's arguments) in pieces cut between characters, each piece in a
// chunk of its own that repeats the event's top-level members but its
// choices and usage; last the finish reasons and the usage. False (and
// `pieces` empty) when the pieces cannot keep within the bound.
bool split_event(std::string_view event, std::size_t bound, std::vector<WipingBuffer>& pieces);

}  // namespace veilrelay_router
