#pragma once
// Reading a streamed answer from its body bytes as they arrive: the events
// ("data: <JSON>" lines ended by a blank line), the header event's key
// unwrapped with the client's private key, and every chunk event checked
// (order, then tag over sequence number, final flag and payload id) before
// any byte of its plaintext is given out. Anything that does not verify is a
// SecurityError, and the reader is spent after it.
#include <ossara/Veilrelay.hpp>

#include "core/secret_bytes.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace ossara::detail {

// One event, its JSON and the base64 around a chunk included.
inline constexpr std::size_t kMaxStreamEventBytes = 2u << 20;
// One chunk's plaintext.
inline constexpr std::size_t kMaxStreamChunkBytes = 1u << 20;

struct StreamChunk {
    SecretBytes plaintext;
    bool final = false;
};

class StreamReader {
public:
    // `own_key`: the client's private key; it must outlive the reader.
    StreamReader(EVP_PKEY* own_key, std::string payload_id);

    // Body bytes as they arrive; SecurityError for bytes after the final
    // chunk. Call next_chunk() until it has nothing before feeding more.
    void feed(std::span<const std::uint8_t> bytes);
    // The next verified chunk among the events fed so far; std::nullopt when
    // they hold no further complete event. SecurityError for an event past
    // the bound, and for everything that does not verify.
    std::optional<StreamChunk> next_chunk();
    // The body has ended: SecurityError unless the final chunk was read.
    void finish() const;
    bool complete() const noexcept { return final_seen_; }

private:
    // The data of the next complete event, if the buffer holds one.
    std::optional<std::string> next_event();
    void open_header(const std::string& data);
    StreamChunk open_chunk(const std::string& data);

    EVP_PKEY* own_key_;
    std::string payload_id_;
    std::string buffer_;        // bytes fed and not yet taken into an event
    std::size_t consumed_ = 0;  // of buffer_, up to the start of the current line
    std::size_t scanned_ = 0;   // of buffer_, searched for a line end without finding one
    std::string data_;          // the current event's data lines so far
    bool has_data_ = false;
    std::size_t event_bytes_ = 0;  // of the current event so far
    SecretBytes key_;
    std::string nonce_base_;
    std::uint64_t next_seq_ = 0;
    bool header_seen_ = false;
    bool final_seen_ = false;
};

}  // namespace ossara::detail
