#include "event_split.hpp"

#include "event_json.hpp"

#include <array>
#include <string>
#include <utility>

namespace veilrelay_router {

namespace {

namespace ej = event_json;

constexpr std::array<std::string_view, 4> kTextKeys{"content", "reasoning_content", "reasoning", "refusal"};
// A text piece smaller than this would make a stream of mostly repeated members.
constexpr std::size_t kMinTextPiece = 256;

bool is_text_key(std::string_view key) {
    for (const std::string_view k : kTextKeys)
        if (key == k) return true;
    return false;
}

std::string_view trimmed(std::string_view text) {
    const std::size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string_view::npos) return {};
    return text.substr(begin, text.find_last_not_of(" \t\r\n") - begin + 1);
}

// A chunk being written: every append checks the bound.
class Piece {
public:
    explicit Piece(std::size_t bound) : buffer_(bound) {}
    Piece& operator<<(std::string_view text) {
        ok_ = ok_ && buffer_.append(text);
        return *this;
    }
    Piece& member(std::string_view key, std::string_view value, bool& first) {
        if (!std::exchange(first, false)) *this << ",";
        return *this << "\"" << key << "\":" << value;
    }
    bool ok() const noexcept { return ok_; }
    std::size_t size() const noexcept { return buffer_.size(); }
    WipingBuffer take() { return std::move(buffer_); }

private:
    WipingBuffer buffer_;
    bool ok_ = true;
};

// One text of the event and where it sits.
struct Text {
    std::string choice_index;               // the choice's "index" as written, or its position
    std::optional<std::string> call_index;  // for a tool call's arguments: the call's "index" or position
    std::string_view key;
    std::string_view content;  // as written between the quotes
};

// The position's index unless the object names its own.
std::string index_of(std::string_view object, std::size_t position) {
    const auto index = ej::member(object, "index");
    return index ? std::string(*index) : std::to_string(position);
}

// `function` with its arguments emptied.
void write_function_opened(Piece& out, std::string_view function) {
    bool first = true;
    out << "{";
    for (const ej::Member& m : ej::members(function))
        out.member(m.key, m.key == "arguments" && ej::is_string(m.value) ? "\"\"" : m.value, first);
    out << "}";
}

void write_call_opened(Piece& out, std::string_view call) {
    if (!ej::is_object(call)) {
        out << call;
        return;
    }
    bool first = true;
    out << "{";
    for (const ej::Member& m : ej::members(call)) {
        if (m.key == "function" && ej::is_object(m.value)) {
            out.member(m.key, "", first);
            write_function_opened(out, m.value);
        } else {
            out.member(m.key, m.value, first);
        }
    }
    out << "}";
}

void write_delta_opened(Piece& out, std::string_view delta) {
    bool first = true;
    out << "{";
    for (const ej::Member& m : ej::members(delta)) {
        if (is_text_key(m.key) && ej::is_string(m.value)) {
            out.member(m.key, "\"\"", first);
        } else if (m.key == "tool_calls" && ej::is_array(m.value)) {
            out.member(m.key, "[", first);
            bool first_call = true;
            for (const std::string_view call : ej::elements(m.value)) {
                if (!std::exchange(first_call, false)) out << ",";
                write_call_opened(out, call);
            }
            out << "]";
        } else {
            out.member(m.key, m.value, first);
        }
    }
    out << "}";
}

void write_choice_opened(Piece& out, std::string_view choice) {
    if (!ej::is_object(choice)) {
        out << choice;
        return;
    }
    bool first = true;
    out << "{";
    for (const ej::Member& m : ej::members(choice)) {
        if (m.key == "finish_reason") {
            out.member(m.key, "null", first);
        } else if (m.key == "delta" && ej::is_object(m.value)) {
            out.member(m.key, "", first);
            write_delta_opened(out, m.value);
        } else {
            out.member(m.key, m.value, first);
        }
    }
    out << "}";
}

// The texts of the choices' deltas, in order.
std::vector<Text> texts_of(const std::vector<std::string_view>& choices) {
    std::vector<Text> texts;
    for (std::size_t c = 0; c < choices.size(); ++c) {
        const auto delta = ej::member(choices[c], "delta");
        if (!delta || !ej::is_object(*delta)) continue;
        const std::string choice_index = index_of(choices[c], c);
        for (const ej::Member& m : ej::members(*delta)) {
            if (is_text_key(m.key) && ej::is_string(m.value)) {
                texts.push_back({choice_index, std::nullopt, m.key, ej::string_content(m.value)});
                continue;
            }
            if (m.key != "tool_calls") continue;
            const std::vector<std::string_view> calls = ej::elements(m.value);
            for (std::size_t k = 0; k < calls.size(); ++k) {
                const auto function = ej::member(calls[k], "function");
                const auto arguments = function ? ej::member(*function, "arguments") : std::nullopt;
                if (arguments && ej::is_string(*arguments))
                    texts.push_back({choice_index, index_of(calls[k], k), "arguments", ej::string_content(*arguments)});
            }
        }
    }
    return texts;
}

}  // namespace

EventFacts read_event(std::string_view data) {
    EventFacts facts;
    if (!ej::valid(data)) return facts;
    facts.object = trimmed(data);
    if (!ej::is_object(facts.object)) return facts;
    facts.kind = EventFacts::Kind::chunk;
    for (const ej::Member& m : ej::members(facts.object)) {
        if (m.key == "error" && (ej::is_object(m.value) || ej::is_string(m.value))) {
            facts.kind = EventFacts::Kind::error;
            facts.error = m.value;
        } else if (m.key == "choices") {
            for (const std::string_view choice : ej::elements(m.value)) {
                const auto reason = ej::member(choice, "finish_reason");
                facts.finishes = facts.finishes || (reason && !ej::is_null(*reason));
            }
        }
    }
    if (facts.kind != EventFacts::Kind::error) return facts;
    if (ej::is_string(facts.error)) {
        facts.error_message = ej::string_content(facts.error);
        return facts;
    }
    if (const auto message = ej::member(facts.error, "message"); message && ej::is_string(*message))
        facts.error_message = ej::string_content(*message);
    for (const std::string_view name : {"code", "status", "status_code"}) {
        const auto value = ej::member(facts.error, name);
        const auto status = value ? ej::small_integer(*value) : std::nullopt;
        if (status && *status >= 400 && *status <= 599) {
            facts.named_status = status;
            break;
        }
    }
    return facts;
}

bool split_event(std::string_view event, std::size_t bound, std::vector<WipingBuffer>& pieces) {
    pieces.clear();
    const auto fail = [&pieces] {
        pieces.clear();
        return false;
    };
    const std::vector<ej::Member> top = ej::members(event);
    std::optional<std::string_view> choices_text, usage;
    Piece header(bound);  // the top-level members every piece repeats
    bool first = true;
    for (const ej::Member& m : top) {
        if (m.key == "choices") choices_text = m.value;
        else if (m.key == "usage") usage = m.value;
        else header.member(m.key, m.value, first);
    }
    if (!choices_text || !ej::is_array(*choices_text) || !header.ok()) return fail();
    const WipingBuffer header_text = header.take();
    const std::string_view head = header_text.text();
    const auto start = [&](Piece& p) -> Piece& {
        return p << "{" << head << (head.empty() ? "" : ",") << "\"choices\":";
    };
    const std::vector<std::string_view> choices = ej::elements(*choices_text);

    // The opening piece keeps the event's member order.
    Piece opening(bound);
    opening << "{";
    first = true;
    for (const ej::Member& m : top) {
        if (m.key == "usage") continue;
        if (m.key != "choices") {
            opening.member(m.key, m.value, first);
            continue;
        }
        opening.member(m.key, "[", first);
        for (std::size_t c = 0; c < choices.size(); ++c) {
            if (c > 0) opening << ",";
            write_choice_opened(opening, choices[c]);
        }
        opening << "]";
    }
    opening << "}";
    if (!opening.ok()) return fail();
    pieces.push_back(opening.take());

    for (const Text& text : texts_of(choices)) {
        const auto write_piece = [&](std::string_view part) {
            Piece p(bound);
            start(p) << "[{\"index\":" << text.choice_index << ",\"delta\":{";
            if (text.call_index)
                p << "\"tool_calls\":[{\"index\":" << *text.call_index << ",\"function\":{\"arguments\":\"";
            else
                p << "\"" << text.key << "\":\"";
            p << part << "\"" << (text.call_index ? "}}]" : "") << "},\"finish_reason\":null}]}";
            return p;
        };
        const Piece empty = write_piece({});
        if (!empty.ok() || bound - empty.size() < kMinTextPiece) return fail();
        const std::size_t room = bound - empty.size();
        for (std::size_t at = 0; at < text.content.size();) {
            const std::size_t n = ej::cut_point(text.content.substr(at), room);
            if (n == 0) return fail();
            Piece p = write_piece(text.content.substr(at, n));
            if (!p.ok()) return fail();
            pieces.push_back(p.take());
            at += n;
        }
    }

    Piece closing(bound);
    start(closing) << "[";
    bool finishes = false;
    for (std::size_t c = 0; c < choices.size(); ++c) {
        const auto reason = ej::member(choices[c], "finish_reason");
        if (!reason || ej::is_null(*reason)) continue;
        closing << (std::exchange(finishes, true) ? "," : "") << "{\"index\":" << index_of(choices[c], c)
                << ",\"delta\":{},\"finish_reason\":" << *reason << "}";
    }
    closing << "]";
    if (usage) closing << ",\"usage\":" << *usage;
    closing << "}";
    if (finishes || usage) {
        if (!closing.ok()) return fail();
        pieces.push_back(closing.take());
    }
    return true;
}

}  // namespace veilrelay_router
