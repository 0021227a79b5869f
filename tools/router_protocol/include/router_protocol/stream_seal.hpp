#pragma once
// The router's side of a streamed answer: server-sent events, one per line
// pair, each "data: <JSON>\n\n".
//
//   header: {"v":1,"wrapped_key":B64,"nonce_base":B64}
//     a fresh AES-256 key for this answer only, wrapped with RSA-OAEP-SHA256
//     for the caller's public key (as in an answer package), and 12 random
//     bytes from which every chunk's nonce is derived;
//   chunk:  {"seq":N,"final":BOOL,"ciphertext":B64,"tag":B64}
//     N = 0, 1, 2, ... in order. AES-256-GCM under the answer's key, with
//       nonce = nonce_base XOR (4 zero bytes || N as 8 bytes big-endian)
//     (the per-record nonce of TLS 1.3: unique for every chunk under one
//     key), and additional data
//       "veilrelay-stream-v1" 0x00 || payload id || 0x00 || N (8 bytes BE) || final (0x00/0x01)
//     so a chunk moved, repeated, taken from another answer, or presented as
//     the last one fails authentication (the final flag in the additional
//     data is what makes truncation visible, as in the STREAM construction).
//   Chunks before the last carry one model-server chunk object as JSON; the
//   last (final) carries {"status":200} at a normal end, or
//   {"status":S,"error":{...},"retry_after":"..."} when the model server
//   failed mid-stream.
#include <openssl/evp.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace ossara::router_protocol {

inline constexpr std::string_view kStreamContext = "veilrelay-stream-v1";
inline constexpr std::size_t kMaxStreamChunkBytes = 1u << 20;

// The additional data and nonce of chunk `seq`.
std::string stream_chunk_aad(std::string_view payload_id, std::uint64_t seq, bool final);
std::string stream_chunk_nonce(std::string_view nonce_base, std::uint64_t seq);

class StreamSealer {
public:
    // A fresh key and nonce base for one answer to `payload_id`, for `recipient`.
    StreamSealer(EVP_PKEY* recipient, std::string payload_id);
    ~StreamSealer();  // wipes the key (if the final chunk has not)
    StreamSealer(const StreamSealer&) = delete;
    StreamSealer& operator=(const StreamSealer&) = delete;

    // The first event.
    const std::string& header_event() const { return header_; }
    // The next chunk's event. std::logic_error after the final one; sealing
    // the final one wipes the key.
    std::string chunk_event(std::string_view plaintext, bool final = false);
    bool finished() const { return finished_; }
    bool holds_key() const { return !key_.empty(); }

private:
    std::string key_, nonce_base_, payload_id_, header_;
    std::uint64_t next_seq_ = 0;
    bool finished_ = false;
};

}  // namespace ossara::router_protocol
