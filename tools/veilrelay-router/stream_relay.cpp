#include "stream_relay.hpp"

#include "payload_summary.hpp"
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

// One streamed answer: what its events are made from.
struct StreamJob {
    StreamJob(StreamContext c) : context(std::move(c)), sealer(context.client_key.get(), context.payload_id) {}
    StreamContext context;
    rp::StreamSealer sealer;
    std::optional<UpstreamStream> upstream;
    std::string whole;  // the answer of answer_streamed_whole
    std::size_t written = 0;

    asio::awaitable<void> send(const hs::StreamWrite& write, const std::string& event) {
        written += event.size();
        co_await write(event);
    }

    asio::awaitable<void> seal(const hs::StreamWrite& write, std::string_view plaintext, bool final = false) {
        co_await send(write, sealer.chunk_event(plaintext, final));
    }

    asio::awaitable<void> finish(const hs::StreamWrite& write, int status, const std::string& message = {}) {
        json end{{"status", status}};
        if (status != 200) end["error"] = {{"message", message}, {"type", "api_error"}};
        co_await seal(write, end.dump(), true);
        context.record.status = status;
        context.record.answer_bytes = written;
        context.log->info(format_request_line(context.record, std::chrono::steady_clock::now()));
    }
};

// Splits server-sent events into their data fields, across pieces.
class EventReader {
public:
    // False when an event grows past the bound.
    bool feed(std::string_view piece, std::vector<std::string>& data) {
        buffer_ += piece;
        std::size_t start = 0;
        for (std::size_t end; (end = buffer_.find('\n', start)) != std::string::npos; start = end + 1) {
            std::string_view line(buffer_.data() + start, end - start);
            if (line.ends_with('\r')) line.remove_suffix(1);
            if (line.empty()) {
                if (!current_.empty() || has_data_) data.push_back(std::exchange(current_, std::string()));
                has_data_ = false;
            } else if (line.starts_with("data:")) {
                line.remove_prefix(5);
                if (line.starts_with(' ')) line.remove_prefix(1);
                if (has_data_) current_ += '\n';
                current_ += line;
                has_data_ = true;
            }  // other fields (event, id, retry) and comments carry nothing for us
        }
        rp::secure_wipe_prefix(buffer_, start);
        return buffer_.size() + current_.size() <= 2 * rp::kMaxStreamChunkBytes;
    }

    ~EventReader() {
        rp::secure_wipe(buffer_);
        rp::secure_wipe(current_);
    }

private:
    std::string buffer_, current_;
    bool has_data_ = false;
};

asio::awaitable<void> relay_events(std::shared_ptr<StreamJob> job, const hs::StreamWrite& write) {
    co_await job->send(write, job->sealer.header_event());
    UpstreamStream& upstream = *job->upstream;
    EventReader reader;
    std::vector<std::string> data;
    bool done = false;
    while (!done) {
        auto piece = co_await upstream.next();
        if (!piece) break;
        const bool fits = reader.feed(*piece, data);
        rp::secure_wipe(*piece);
        for (std::string& item : data) {
            if (!done && item == "[DONE]") done = true;
            else if (!done && summarise_payload(item).shape == PayloadSummary::Shape::object) co_await job->seal(write, item);
            rp::secure_wipe(item);
        }
        data.clear();
        if (!fits) co_return co_await job->finish(write, 502, "Model server sent an event larger than allowed");
    }
    if (done) co_return co_await job->finish(write, 200);
    const UpstreamResult& result = upstream.result();
    if (result.outcome == UpstreamResult::Outcome::answered)
        co_return co_await job->finish(write, 200);  // the model server ended without [DONE]
    const RouterAnswer answer = map_upstream_failure(result, job->context.upstream_timeout, job->context.sent_own_key);
    job->context.log->warn("request id={}: model server stream failed: {}", log_safe(job->context.payload_id),
                           log_safe(result.error, 512));
    co_await job->finish(write, answer.status, answer.detail);
}

asio::awaitable<void> relay_whole(std::shared_ptr<StreamJob> job, const hs::StreamWrite& write) {
    co_await job->send(write, job->sealer.header_event());
    if (job->upstream) {
        const UpstreamResult whole = co_await read_whole(*job->upstream, job->context.max_answer_bytes);
        if (whole.outcome != UpstreamResult::Outcome::answered)
            co_return co_await job->finish(write, 502, "Model server did not finish its answer");
        if (summarise_payload(whole.body.text()).shape != PayloadSummary::Shape::object)
            co_return co_await job->finish(write, 502, "Model server returned an invalid answer");
        co_await job->seal(write, whole.body.text());
    } else {
        co_await job->seal(write, job->whole);
        rp::secure_wipe(job->whole);
    }
    co_await job->finish(write, 200);
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

void answer_streamed(hs::HttpResponse& res, UpstreamStream upstream, StreamContext context) {
    const bool events = upstream.content_type().starts_with("text/event-stream");
    auto job = std::make_shared<StreamJob>(std::move(context));
    job->upstream.emplace(std::move(upstream));
    start(res, std::move(job), events);
}

void answer_streamed_whole(hs::HttpResponse& res, std::string answer, StreamContext context) {
    auto job = std::make_shared<StreamJob>(std::move(context));
    job->whole = std::move(answer);
    start(res, std::move(job), false);
}

asio::awaitable<UpstreamResult> read_whole(UpstreamStream& upstream, std::size_t limit) {
    UpstreamResult whole(limit);
    bool fits = true;
    while (auto piece = co_await upstream.next()) {
        fits = fits && whole.body.append(piece->data(), piece->size());
        rp::secure_wipe(*piece);
    }
    const UpstreamResult& ended = upstream.result();
    whole.outcome = ended.outcome;
    whole.http_status = ended.http_status;
    whole.retry_after = ended.retry_after;
    whole.error = ended.error;
    if (!fits && whole.outcome == UpstreamResult::Outcome::answered) whole.outcome = UpstreamResult::Outcome::too_large;
    co_return whole;
}

}  // namespace veilrelay_router
