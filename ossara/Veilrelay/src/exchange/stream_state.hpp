#pragma once
// What a SecureStream reads from: a streamed answer (the body as it arrives
// and its reader) or a whole answer handed over as its one chunk.
#include <ossara/Veilrelay.hpp>

#include "crypto/crypto.hpp"
#include "exchange/stream_reader.hpp"
#include "transport/http_transport.hpp"

#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ossara::detail {

class StreamState {
public:
    // `own_key` is referenced for the stream's lifetime (the client may go first).
    static std::unique_ptr<StreamState> streamed(EVP_PKEY* own_key, std::string payload_id,
                                                 std::unique_ptr<BodyStream> body,
                                                 std::vector<std::uint8_t> received,
                                                 std::chrono::milliseconds idle_timeout, bool secure_memory);
    static std::unique_ptr<StreamState> whole(json answer);

    asio::awaitable<std::optional<json>> next();
    bool streamed() const noexcept { return streamed_; }

private:
    StreamState() = default;
    asio::awaitable<std::optional<json>> read_next();
    // The chunk's plaintext as JSON (or the end), read inside a guard when
    // secure memory is in use.
    std::optional<json> take(StreamChunk chunk);

    bool streamed_ = false;
    bool ended_ = false;
    std::exception_ptr failure_;  // raised again by every next() after it
    std::optional<json> whole_;
    EvpPkeyPtr own_key_;
    std::optional<StreamReader> reader_;
    std::unique_ptr<BodyStream> body_;  // empty once the body has ended (or when it came whole)
    std::vector<std::uint8_t> received_;  // the last piece read, or the whole body
    std::chrono::milliseconds idle_timeout_{};
    bool secure_memory_ = false;
};

}  // namespace ossara::detail
