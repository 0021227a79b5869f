#include "upstream_events.hpp"

namespace veilrelay_router {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

}  // namespace

UpstreamEvents::UpstreamEvents(std::size_t max_event_bytes)
    : max_event_bytes_(max_event_bytes), input_(max_event_bytes), data_(max_event_bytes), event_(max_event_bytes) {}

bool UpstreamEvents::feed(std::string_view piece) {
    if (input_.size() + data_.size() + piece.size() > max_event_bytes_) return false;
    return input_.append(piece);
}

std::optional<std::string_view> UpstreamEvents::next() {
    event_.wipe();
    if (at_start_) {
        const std::string_view text = input_.text();
        // A part of a byte-order mark waits for the rest of it.
        if (text.size() < kByteOrderMark.size() && kByteOrderMark.starts_with(text)) return std::nullopt;
        if (text.starts_with(kByteOrderMark)) input_.consume(kByteOrderMark.size());
        at_start_ = false;
    }
    std::size_t start = 0;  // of the line in progress
    std::optional<std::string_view> event;
    while (!event) {
        const std::string_view text = input_.text();
        if (skip_lf_ && start < text.size()) {
            skip_lf_ = false;
            if (text[start] == '\n') {
                ++start;
                continue;
            }
        }
        const std::size_t end = text.find_first_of("\r\n", std::max(start, scanned_));
        if (end == std::string_view::npos) {
            scanned_ = text.size();
            break;
        }
        skip_lf_ = text[end] == '\r';
        const std::string_view line = text.substr(start, end - start);
        start = end + 1;
        scanned_ = start;
        if (!line.empty()) {
            take_line(line);
            continue;
        }
        if (!has_data_) continue;  // a blank line with no event before it
        // The event is whole: its data moves to event_, which the caller reads.
        std::swap(event_, data_);
        has_data_ = false;
        event = event_.text();
    }
    input_.consume(start);
    scanned_ -= std::min(scanned_, start);
    return event;
}

void UpstreamEvents::take_line(std::string_view line) {
    if (line.starts_with(':')) return;  // a comment
    const std::size_t colon = line.find(':');
    const std::string_view field = line.substr(0, colon);
    if (field != "data") return;  // event, id, retry and unknown fields carry nothing for the relay
    std::string_view value = colon == std::string_view::npos ? std::string_view() : line.substr(colon + 1);
    if (value.starts_with(' ')) value.remove_prefix(1);
    // Both fit: the line came out of input_, and input_ and data_ together stay within the bound.
    if (has_data_) data_.append("\n");
    data_.append(value);
    has_data_ = true;
}

}  // namespace veilrelay_router
