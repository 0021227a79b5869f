// SecureStream: each next() waits for the reader's next verified chunk,
// feeding it the body as it arrives, and turns the final chunk into the end
// or into the status error the router reports.
#include "exchange/stream_state.hpp"

#include "codec/json_reader.hpp"
#include "codec/json_writer.hpp"
#include "core/cancellation.hpp"
#include "core/secure_memory_binding.hpp"
#include "exchange/error_report.hpp"
#include "exchange/status_errors.hpp"

#include <openssl/evp.h>

#include <string_view>

namespace ossara {

namespace detail {

namespace {

json parse_chunk(std::span<const std::uint8_t> plaintext) {
    json value;
    try {
        value = parse_json(std::string_view(reinterpret_cast<const char*>(plaintext.data()), plaintext.size()));
    } catch (const json::exception&) {
        throw SecurityError("Stream refused: a chunk is not JSON");
    }
    if (!value.is_object()) throw SecurityError("Stream refused: a chunk is not a JSON object");
    return value;
}

// The final chunk: the end at status 200, else the status error of the
// table, its details the chunk's members but the status: the model server's
// error object under "error" (as the router decrypted it), "retry_after",
// "detail" (the error object's message when the router gave none), and what
// else the router said. Statuses outside the table (502, 504 among them)
// carry these details too.
void conclude(json final) {
    const auto status = final.find("status");
    if (status == final.end() || !status->is_number_integer())
        throw SecurityError("Stream refused: the final chunk has no status");
    const long code = status->get<long>();
    if (code == 200) return;
    final.erase(status);
    const auto detail = final.find("detail");
    if (detail == final.end() || !detail->is_string()) {
        if (detail != final.end()) final.erase(detail);
        if (const auto error = final.find("error"); error != final.end() && error->is_object())
            if (const auto message = error->find("message"); message != error->end() && message->is_string())
                final["detail"] = *message;
    }
    const std::string text = serialise_json(final);
    raise_for_status(code, std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()),
                     /*details_for_any_status=*/true);
}

}  // namespace

std::unique_ptr<StreamState> StreamState::streamed(EVP_PKEY* own_key, std::string payload_id,
                                                   std::unique_ptr<BodyStream> body,
                                                   std::vector<std::uint8_t> received,
                                                   std::chrono::milliseconds idle_timeout, bool secure_memory) {
    std::unique_ptr<StreamState> state(new StreamState());
    if (EVP_PKEY_up_ref(own_key) != 1) throw std::runtime_error("cannot reference the private key");
    state->own_key_.reset(own_key);
    state->streamed_ = true;
    state->reader_.emplace(state->own_key_.get(), std::move(payload_id), secure_memory);
    state->body_ = std::move(body);
    state->received_ = std::move(received);
    state->idle_timeout_ = idle_timeout;
    state->secure_memory_ = secure_memory;
    return state;
}

std::unique_ptr<StreamState> StreamState::whole(json answer) {
    std::unique_ptr<StreamState> state(new StreamState());
    state->whole_ = std::move(answer);
    return state;
}

asio::awaitable<std::optional<json>> StreamState::next() {
    if (failure_) std::rethrow_exception(failure_);
    if (ended_) co_return std::nullopt;
    if (!streamed_) {
        ended_ = true;
        co_return std::move(whole_);
    }
    std::optional<json> chunk;
    try {
        chunk = co_await read_next();
    } catch (...) {
        failure_ = std::current_exception();
    }
    if (failure_) {
        body_.reset();  // ends the transfer
        reader_.reset();
        try {
            raise_exchange_failure(failure_, "SecureStream::next");
        } catch (...) {
            failure_ = std::current_exception();
        }
        std::rethrow_exception(failure_);
    }
    if (!chunk) {
        ended_ = true;
        body_.reset();
    }
    co_return chunk;
}

asio::awaitable<std::optional<json>> StreamState::read_next() {
    const auto deadline = std::chrono::steady_clock::now() + idle_timeout_;
    if (!received_.empty()) {
        reader_->feed(received_);  // a body that came whole
        received_.clear();
    }
    for (;;) {
        if (std::optional<StreamChunk> chunk = reader_->next_chunk()) {
            if (std::optional<json> value = take(std::move(*chunk))) co_return value;
            // The final chunk said 200: the answer is whole once the body
            // ends with nothing after it (the reader refuses any byte more).
            continue;
        }
        if (!body_) {
            reader_->finish();  // refuses a body that ended before the final chunk
            co_return std::nullopt;
        }
        received_.clear();
        std::optional<HttpFailure> failed;
        bool more = false;
        try {
            more = co_await body_->read(received_, deadline);
        } catch (const HttpError& error) {
            // After a verified final chunk nothing is missing; before it, a
            // timeout is the idle bound and anything else the transport's failure.
            if (!reader_->complete() && error.kind() != HttpFailure::timeout) throw;
            failed = error.kind();
        }
        if (failed) {
            body_.reset();
            if (reader_->complete()) continue;
            throw ConnectionError("Stream timed out: no event within " + std::to_string(idle_timeout_.count()) + " ms");
        }
        if (!more) {
            body_.reset();
            continue;
        }
        reader_->feed(received_);
        received_.clear();
    }
}

std::optional<json> StreamState::take(StreamChunk chunk) {
    json value;
    if (secure_memory_) {
        // The guard holds the only copy from here (its source is wiped on entry).
        auto guarded = enter_secure_bytearray(chunk.plaintext.span(), true);
        chunk.plaintext.release_wiped();
        value = parse_chunk(guarded.data());
    } else {
        value = parse_chunk(chunk.plaintext.span());
    }
    if (!chunk.final) return value;
    conclude(std::move(value));
    return std::nullopt;
}

}  // namespace detail

SecureStream::SecureStream(std::unique_ptr<detail::StreamState> state) noexcept : state_(std::move(state)) {}
SecureStream::SecureStream(SecureStream&&) noexcept = default;
SecureStream& SecureStream::operator=(SecureStream&&) noexcept = default;
SecureStream::~SecureStream() = default;

asio::awaitable<std::optional<json>> SecureStream::next() {
    if (!state_) throw ValueError("the stream has been moved from");
    co_return co_await state_->next();
}

bool SecureStream::streamed() const noexcept { return state_ && state_->streamed(); }

}  // namespace ossara
