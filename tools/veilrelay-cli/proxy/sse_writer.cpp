#include "sse_writer.hpp"

#include <chrono>

namespace veilrelay_cli {

namespace {

using ossara::json;

json member_or(const json& object, const char* name, json fallback) {
    if (!object.is_object()) return fallback;
    const auto it = object.find(name);
    return it != object.end() ? *it : fallback;
}

// A message becomes a delta as it is; tool calls gain the "index" member
// that streamed tool-call fragments carry.
json delta_of(const json& choice) {
    json delta = member_or(choice, "message", json::object());
    if (!delta.is_object()) delta = json::object();
    if (const auto calls = delta.find("tool_calls"); calls != delta.end() && calls->is_array()) {
        for (std::size_t i = 0; i < calls->size(); ++i) {
            json& call = (*calls)[i];
            if (call.is_object() && !call.contains("index")) call["index"] = i;
        }
    }
    return delta;
}

void append_event(std::string& out, const json& chunk) {
    out += "data: ";
    out += json_text(chunk);
    out += "\n\n";
}

}  // namespace

std::string json_text(const ossara::json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string sse_stream(const json& answer, bool include_usage, bool done) {
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    json head = json::object();
    head["id"] = member_or(answer, "id", "chatcmpl-veilrelay");
    head["object"] = "chat.completion.chunk";
    head["created"] = member_or(answer, "created", now);
    head["model"] = member_or(answer, "model", "");
    if (const json fingerprint = member_or(answer, "system_fingerprint", nullptr); !fingerprint.is_null())
        head["system_fingerprint"] = fingerprint;

    auto chunk = [&](json choices) {
        json c = head;
        c["choices"] = std::move(choices);
        if (include_usage) c["usage"] = nullptr;
        return c;
    };

    json choices = member_or(answer, "choices", json::array());
    if (!choices.is_array()) choices = json::array();

    std::string out;
    for (std::size_t i = 0; i < choices.size(); ++i) {
        json choice = json::object();
        choice["index"] = member_or(choices[i], "index", i);
        choice["delta"] = delta_of(choices[i]);
        choice["logprobs"] = member_or(choices[i], "logprobs", nullptr);
        choice["finish_reason"] = nullptr;
        append_event(out, chunk(json::array({std::move(choice)})));
    }
    for (std::size_t i = 0; i < choices.size(); ++i) {
        json choice = json::object();
        choice["index"] = member_or(choices[i], "index", i);
        choice["delta"] = json::object();
        choice["finish_reason"] = member_or(choices[i], "finish_reason", "stop");
        append_event(out, chunk(json::array({std::move(choice)})));
    }
    if (include_usage) {
        json last = head;
        last["choices"] = json::array();
        last["usage"] = member_or(answer, "usage", nullptr);
        append_event(out, last);
    }
    if (done) out += "data: [DONE]\n\n";
    return out;
}

}  // namespace veilrelay_cli
