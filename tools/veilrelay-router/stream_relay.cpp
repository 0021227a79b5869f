#include "stream_relay.hpp"

#include "event_json.hpp"
#include "event_split.hpp"
#include "upstream_events.hpp"
#include "upstream_status.hpp"

#include <router_protocol/stream_seal.hpp>

#include <nlohmann/json.hpp>
#include <spdlog/spdlog.h>

#include <algorithm>

namespace veilrelay_router {

namespace {

namespace rp = ossara::router_protocol;
namespace hs = ossara::http_server;
using json = nlohmann::ordered_json;

// A model server's error object larger than this is not relayed (as with a refusal's body).
constexpr std::size_t kMaxRelayedErrorBytes = 64 * 1024;
// The model server's message in a detail is cut after this many bytes.
constexpr std::size_t kMaxMessageBytes = 1000;

// Text of ours as the content of a JSON string.
std::string escaped(const std::string& text) {
    const std::string quoted = json(text).dump(-1, ' ', false, json::error_handler_t::replace);
    return quoted.substr(1, quoted.size() - 2);
}

// How a stream ends: the members of its final chunk.
struct Ending {
    int status = 200;
    std::string detail;  // the content of a JSON string (escaped); wiped when sealed
    WipingBuffer error{kMaxRelayedErrorBytes};  // the model server's error object as it sent it, if any
    std::optional<long> upstream_status{};
    std::optional<std::string> retry_after{};
};

Ending failure(int status, const std::string& detail) {
    Ending end;
    end.status = status;
    end.detail = escaped(detail);
    return end;
}

// The end for an error the model server reported mid-stream: its status
// when it names one (mapped as a refused request's), else 502.
Ending reported_error(const EventFacts& facts, bool sent_own_key) {
    const std::string_view message =
        facts.error_message.substr(0, event_json::cut_point(facts.error_message, kMaxMessageBytes));
    const std::string_view ellipsis = message.size() < facts.error_message.size() ? "..." : "";
    Ending end;
    if (facts.named_status) {
        RouterAnswer answer = map_upstream_status(*facts.named_status, sent_own_key, [&] {
            std::string text(message);
            return text.append(ellipsis);
        });
        end.status = answer.status;
        // The router's own words need no escaping; the model server's message is escaped already.
        end.detail = std::move(answer.detail);
        end.upstream_status = facts.named_status;
    } else {
        end.status = 502;
        end.detail = "Model server reported an error mid-stream: ";
        end.detail.append(message).append(ellipsis);
    }
    // Copied: the event it is part of goes before the final chunk is sealed.
    if (event_json::is_object(facts.error)) end.error.append(facts.error);
    return end;
}

// One streamed answer: what its events are made from.
struct StreamJob {
    StreamJob(StreamContext c) : context(std::move(c)), sealer(context.client_key.get(), context.payload_id) {}
    StreamContext context;
    rp::StreamSealer sealer;
    std::optional<UpstreamStream> upstream;
    WipingBuffer whole{std::size_t(-1)};  // the answer of answer_streamed_whole
    std::size_t written = 0;

    asio::awaitable<void> send(const hs::StreamWrite& write, const std::string& event) {
        written += event.size();
        co_await write(event);
    }

    asio::awaitable<void> seal(const hs::StreamWrite& write, std::string_view plaintext, bool final = false) {
        co_await send(write, sealer.chunk_event(plaintext, final));
    }

    // The final chunk: {"status":S} at a normal end; else also the model
    // server's error object (or one of ours with the detail as its message,
    // which clients before `detail` read), its status, its Retry-After and
    // the detail.
    asio::awaitable<void> finish(const hs::StreamWrite& write, Ending& end) {
        WipingBuffer text(std::size_t(-1));
        text.append(R"({"status":)" + std::to_string(end.status));
        if (end.status != 200) {
            text.append(R"(,"error":)");
            if (end.error.empty()) {
                text.append(R"({"message":")");
                text.append(end.detail);
                text.append(R"(","type":"api_error"})");
            } else {
                text.append(end.error.text());
            }
            if (end.upstream_status) text.append(R"(,"upstream_status":)" + std::to_string(*end.upstream_status));
            if (end.retry_after) text.append(R"(,"retry_after":")" + escaped(*end.retry_after) + "\"");
            text.append(R"(,"detail":")");
            text.append(end.detail);
            text.append("\"");
        }
        text.append("}");
        rp::secure_wipe(end.detail);
        co_await seal(write, text.text(), true);
        context.record.status = end.status;
        context.record.answer_bytes = written;
        context.log->info(format_request_line(context.record, std::chrono::steady_clock::now()));
    }
};

// How the model server's body ended, when it ended without [DONE].
Ending ended_without_done(const StreamJob& job, bool finish_reason_seen) {
    const UpstreamResult& result = job.upstream->result();
    using Outcome = UpstreamResult::Outcome;
    if (result.outcome == Outcome::answered) {
        // Some model servers close the stream after the finish reason without [DONE].
        if (finish_reason_seen) return Ending{};
        return failure(502, "Model server ended its stream without [DONE] and without a finish reason");
    }
    job.context.log->warn("request id={}: model server stream failed: {}", log_safe(job.context.payload_id),
                          log_safe(result.error, 512));
    switch (result.outcome) {
        case Outcome::failed:
        case Outcome::unreachable:
            return failure(502, "Model server connection broke off mid-stream, before [DONE]");
        case Outcome::timed_out:
            return failure(504, "Model server sent nothing for " +
                                    json(std::chrono::duration<double>(job.context.upstream_timeout).count()).dump() +
                                    " seconds mid-stream");
        case Outcome::too_large:
            return failure(502, "Model server sent more than the router holds unread");
        case Outcome::answered: break;
    }
    return failure(502, "Model server stream failed");
}

// Seals the model server's events until its stream ends; how it ended.
asio::awaitable<Ending> relay_chunks(StreamJob& job, const hs::StreamWrite& write) {
    UpstreamStream& upstream = *job.upstream;
    UpstreamEvents events(job.context.max_answer_bytes);
    std::vector<WipingBuffer> pieces;
    bool finish_reason_seen = false;
    while (std::optional<WipingBuffer> piece = co_await upstream.next()) {
        if (!events.feed(piece->text()))
            co_return failure(502, "Model server sent an event larger than " +
                                       std::to_string(job.context.max_answer_bytes) + " bytes");
        piece->wipe();
        while (const std::optional<std::string_view> data = events.next()) {
            if (*data == "[DONE]") co_return Ending{};
            if (data->find_first_not_of(" \t\r\n") == std::string_view::npos) continue;  // carries nothing
            const EventFacts facts = read_event(*data);
            if (facts.kind == EventFacts::Kind::malformed)
                co_return failure(502, "Model server sent an event that is not a JSON object");
            if (facts.kind == EventFacts::Kind::error) {
                Ending end = reported_error(facts, job.context.sent_own_key);
                end.retry_after = upstream.retry_after();
                co_return end;
            }
            finish_reason_seen = finish_reason_seen || facts.finishes;
            if (data->size() <= rp::kMaxStreamChunkBytes) {
                co_await job.seal(write, *data);
                continue;
            }
            if (!split_event(facts.object, rp::kMaxStreamChunkBytes, pieces))
                co_return failure(502, "Model server sent an event of " + std::to_string(data->size()) +
                                           " bytes that cannot be cut into chunks of at most " +
                                           std::to_string(rp::kMaxStreamChunkBytes) + " bytes");
            for (WipingBuffer& chunk : pieces) {
                co_await job.seal(write, chunk.text());
                chunk.wipe();
            }
            pieces.clear();
        }
    }
    co_return ended_without_done(job, finish_reason_seen);
}

asio::awaitable<void> relay_events(std::shared_ptr<StreamJob> job, const hs::StreamWrite& write) {
    co_await job->send(write, job->sealer.header_event());
    Ending end = co_await relay_chunks(*job, write);
    co_await job->finish(write, end);
}

asio::awaitable<void> relay_whole(std::shared_ptr<StreamJob> job, const hs::StreamWrite& write) {
    co_await job->send(write, job->sealer.header_event());
    co_await job->seal(write, job->whole.text());
    job->whole.wipe();
    Ending end;
    co_await job->finish(write, end);
}

void start(hs::HttpResponse& res, std::shared_ptr<StreamJob> job, bool events) {
    res.status = 200;
    res.set_header("Content-Type", "text/event-stream");
    res.set_header("Cache-Control", "no-cache");
    res.set_header("X-Accel-Buffering", "no");  // a buffering reverse proxy passes each event at once
    res.stream = [job = std::move(job), events](const hs::StreamWrite& write) {
        return events ? relay_events(job, write) : relay_whole(job, write);
    };
}

}  // namespace

bool accepts_event_stream(std::string_view accept) { return accept.find("text/event-stream") != std::string_view::npos; }

bool answers_with_events(const UpstreamStream& upstream) {
    return upstream.content_type().starts_with("text/event-stream");
}

void answer_streamed(hs::HttpResponse& res, UpstreamStream upstream, StreamContext context) {
    auto job = std::make_shared<StreamJob>(std::move(context));
    job->upstream.emplace(std::move(upstream));
    start(res, std::move(job), true);
}

void answer_streamed_whole(hs::HttpResponse& res, std::string answer, StreamContext context) {
    auto job = std::make_shared<StreamJob>(std::move(context));
    job->whole.append(answer);
    rp::secure_wipe(answer);
    start(res, std::move(job), false);
}

asio::awaitable<UpstreamResult> read_whole(UpstreamStream& upstream, std::size_t limit) {
    UpstreamResult whole(limit);
    bool fits = true;
    while (auto piece = co_await upstream.next()) fits = fits && whole.body.append(piece->text());
    const UpstreamResult& ended = upstream.result();
    whole.outcome = ended.outcome;
    whole.http_status = ended.http_status;
    whole.retry_after = ended.retry_after;
    whole.error = ended.error;
    if (!fits && whole.outcome == UpstreamResult::Outcome::answered) whole.outcome = UpstreamResult::Outcome::too_large;
    co_return whole;
}

}  // namespace veilrelay_router
