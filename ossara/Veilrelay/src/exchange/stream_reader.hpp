#pragma once
// Reading a streamed answer from its body bytes as they arrive: the events
// of the server-sent-event format (lines ended by LF, CRLF or CR, a
// byte-order mark first, comments and fields other than "data" skipped, the
// data lines of an event joined by LF, a blank line ending it), the header event's key
// unwrapped with the client's private key, and every chunk event checked
// (order, then tag over sequence number, final flag and payload id) before
// any byte of its plaintext is given out. Anything that does not verify is a
// SecurityError, and the reader is spent after it.
#include <ossara/Veilrelay.hpp>

#include "core/secret_bytes.hpp"
#include "core/secure_memory_binding.hpp"

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
    // `own_key`: the client's private key; it must outlive the reader. With
    // `secure_memory` the answer's key is kept in a locked secure-memory
    // guard from its unwrapping to the final chunk.
    StreamReader(EVP_PKEY* own_key, std::string payload_id, bool secure_memory = false);

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
    // Whether the answer's key is held, and whether in a secure-memory guard.
    bool holds_key() const noexcept { return guarded_key_.has_value() || !key_.empty(); }
    bool key_guarded() const noexcept { return guarded_key_.has_value(); }

private:
    // The data of the next complete event, if the buffer holds one.
    std::optional<std::string> next_event();
    void open_header(const std::string& data);
    StreamChunk open_chunk(const std::string& data);
    // Takes one line's field into the current event.
    void take_line(std::string_view line);
    void drop_key() noexcept;

    EVP_PKEY* own_key_;
    std::string payload_id_;
    std::string buffer_;        // bytes fed and not yet taken into an event
    std::size_t consumed_ = 0;  // of buffer_, up to the start of the current line
    std::size_t scanned_ = 0;   // of buffer_, searched for a line end without finding one
    std::string data_;          // the current event's data lines so far
    bool has_data_ = false;
    bool skip_lf_ = false;   // the last line ended with CR: an LF next belongs to it
    bool at_start_ = true;   // nothing of the body taken yet (a byte-order mark may come)
    std::size_t event_bytes_ = 0;  // of the current event so far
    bool secure_memory_ = false;
    SecretBytes key_;
    std::optional<SecureScope> guarded_key_;  // holds the key instead of key_ with secure memory
    std::string nonce_base_;
    std::uint64_t next_seq_ = 0;
    bool header_seen_ = false;
    bool final_seen_ = false;
};

}  // namespace ossara::detail
