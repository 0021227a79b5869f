#include "stream_relay.hpp"

#include "exchange_runner.hpp"
#include "proxy_errors.hpp"
#include "sse_writer.hpp"

#include <optional>
#include <stdexcept>
#include <system_error>

namespace veilrelay_cli {

namespace {

namespace hs = ossara::http_server;

struct Relay {
    ossara::SecureStream stream;
    bool include_usage;
    std::function<void(int, std::size_t)> done;
    std::size_t written = 0;
};

// A chunk the proxy cannot relay as a chat client expects it.
class MalformedChunk : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A whole answer ("object": "chat.completion"), or a chunk to relay as it
// is. MalformedChunk for one whose "object" or "choices" has the wrong type.
bool is_whole_answer(const ossara::json& chunk) {
    if (!chunk.is_object()) throw MalformedChunk("it is not a JSON object");
    const auto choices = chunk.find("choices");
    if (choices != chunk.end() && !choices->is_array()) throw MalformedChunk("its \"choices\" is not an array");
    const auto object = chunk.find("object");
    if (object == chunk.end()) return false;
    if (!object->is_string()) throw MalformedChunk("its \"object\" is not a string");
    return object->get_ref<const std::string&>() == "chat.completion";
}

// The model server's error object the router passed on in its final chunk,
// in the shape the proxy sends a model server's error.
std::optional<ossara::json> relayed_error_object(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const ossara::APIError& e) {
        if (!e.error_details) return std::nullopt;
        const auto object = e.error_details->find("error");
        if (object == e.error_details->end() || !object->is_object()) return std::nullopt;
        return ossara::json{{"error", *object}};
    } catch (...) {
        return std::nullopt;
    }
}

asio::awaitable<void> relay(std::shared_ptr<Relay> r, const hs::StreamWrite& write) {
    int status = 200;
    std::string tail = "data: [DONE]\n\n";
    try {
        while (auto chunk = co_await r->stream.next()) {
            // A router that answers whole hands over the whole answer once,
            // and a streamed chunk may be a whole answer too: either becomes
            // the chunks a streaming client expects. The stream is read on to
            // its final chunk all the same, whose status decides how it ends.
            const std::string events = !r->stream.streamed() || is_whole_answer(*chunk)
                                           ? sse_stream(*chunk, r->include_usage, /*done=*/false)
                                           : "data: " + json_text(*chunk) + "\n\n";
            r->written += events.size();
            co_await write(events);
        }
    } catch (const ossara::Exception&) {
        // Mid-stream, the status line has gone: the error travels as an
        // event, which the SDKs raise as an error, with the model server's
        // own error object when the router relayed one.
        const std::exception_ptr error = std::current_exception();
        const ErrorReply reply = map_exchange_failure(error, ExchangeEnd::failed, relayed_error_object(error));
        status = reply.status;
        tail = "data: " + error_body(reply) + "\n\n";
    } catch (const std::system_error&) {
        throw;  // the caller's connection failed: nothing more can reach it
    } catch (const std::exception& e) {
        // A chunk the proxy cannot turn into events ends the stream with an
        // error event and its log line, never by cutting the connection.
        const bool malformed = dynamic_cast<const MalformedChunk*>(&e) != nullptr;
        const ErrorReply reply{502, "api_error", std::string("invalid_chunk"),
                               malformed ? std::string("The stream held a malformed chunk: ") + e.what()
                                         : std::string("The router sent a chunk that cannot be relayed")};
        status = reply.status;
        tail = "data: " + error_body(reply) + "\n\n";
    }
    r->written += tail.size();
    co_await write(tail);
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
