#include "stream_relay.hpp"

#include "exchange_runner.hpp"
#include "proxy_errors.hpp"
#include "sse_writer.hpp"

namespace veilrelay_cli {

namespace {

namespace hs = ossara::http_server;

struct Relay {
    ossara::SecureStream stream;
    bool include_usage;
    std::function<void(int, std::size_t)> done;
    std::size_t written = 0;
};

asio::awaitable<void> relay(std::shared_ptr<Relay> r, const hs::StreamWrite& write) {
    int status = 200;
    std::string tail = "data: [DONE]\n\n";
    try {
        while (auto chunk = co_await r->stream.next()) {
            // A router that answers whole hands over the whole answer once:
            // it becomes the chunks a streaming client expects, [DONE] included.
            if (!r->stream.streamed() || chunk->value("object", "") == "chat.completion") {
                const std::string events = sse_stream(*chunk, r->include_usage);
                r->written += events.size();
                co_await write(events);
                tail.clear();
                break;
            }
            const std::string event = "data: " + json_text(*chunk) + "\n\n";
            r->written += event.size();
            co_await write(event);
        }
    } catch (const ossara::Exception&) {
        // Mid-stream, the status line has gone: the error travels as an
        // event, which the SDKs raise as an error.
        const ErrorReply reply = map_exchange_failure(std::current_exception(), ExchangeEnd::failed);
        status = reply.status;
        tail = "data: " + error_body(reply) + "\n\n";
    }
    if (!tail.empty()) {
        r->written += tail.size();
        co_await write(tail);
    }
    r->done(status, r->written);
}

}  // namespace

asio::awaitable<void> answer_streaming(ossara::Veilrelay& client, StreamRequest request, hs::HttpResponse& res,
                                       std::function<void(int, std::size_t)> done) {
    std::exception_ptr error;
    try {
        ossara::SecureStream stream =
            co_await client.open_secure_stream(std::move(request.payload), request.id, std::move(request.api_key),
                                               std::move(request.tier));
        auto r = std::make_shared<Relay>(Relay{std::move(stream), request.include_usage, std::move(done)});
        res.status = 200;
        res.set_header("Content-Type", "text/event-stream");
        res.set_header("Cache-Control", "no-cache");
        res.stream = [r](const hs::StreamWrite& write) { return relay(r, write); };
        co_return;
    } catch (const ossara::Exception&) {
        error = std::current_exception();
    }
    const ExchangeOutcome outcome = co_await explain_failure(client, std::move(error), request.id);
    const ErrorReply reply = map_exchange_failure(outcome.error, ExchangeEnd::failed, outcome.model_server_error);
    res.status = reply.status;
    res.set_content(error_body(reply), "application/json");
    if (reply.retry_after) res.set_header("Retry-After", *reply.retry_after);
    done(res.status, res.body.size());
}

}  // namespace veilrelay_cli
