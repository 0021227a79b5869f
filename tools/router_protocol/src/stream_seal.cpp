#include "router_protocol/stream_seal.hpp"

#include "router_protocol/package_crypto.hpp"

#include <nlohmann/json.hpp>

#include <stdexcept>

namespace ossara::router_protocol {

namespace {

std::string big_endian(std::uint64_t value) {
    std::string out(8, '\0');
    for (int i = 7; i >= 0; --i, value >>= 8) out[static_cast<std::size_t>(i)] = static_cast<char>(value & 0xff);
    return out;
}

std::string sse_event(const nlohmann::ordered_json& data) { return "data: " + data.dump() + "\n\n"; }

}  // namespace

std::string stream_chunk_aad(std::string_view payload_id, std::uint64_t seq, bool final) {
    std::string aad(kStreamContext);
    aad += '\0';
    aad += payload_id;
    aad += '\0';
    aad += big_endian(seq);
    aad += final ? '\x01' : '\x00';
    return aad;
}

std::string stream_chunk_nonce(std::string_view nonce_base, std::uint64_t seq) {
    std::string nonce(nonce_base);
    const std::string counter = big_endian(seq);
    for (std::size_t i = 0; i < 8; ++i) nonce[4 + i] = static_cast<char>(nonce[4 + i] ^ counter[i]);
    return nonce;
}

StreamSealer::StreamSealer(EVP_PKEY* recipient, std::string payload_id)
    : key_(random_bytes(32)), nonce_base_(random_bytes(12)), payload_id_(std::move(payload_id)) {
    try {
        header_ = sse_event({{"v", 1},
                             {"wrapped_key", base64_encode(wrap_key(key_, recipient))},
                             {"nonce_base", base64_encode(nonce_base_)}});
    } catch (...) {
        secure_wipe(key_);
        throw;
    }
}

StreamSealer::~StreamSealer() { secure_wipe(key_); }

std::string StreamSealer::chunk_event(std::string_view plaintext, bool final) {
    if (finished_) throw std::logic_error("the stream has ended");
    const std::uint64_t seq = next_seq_++;
    const SealedBytes sealed =
        aes_gcm_seal(key_, stream_chunk_nonce(nonce_base_, seq), stream_chunk_aad(payload_id_, seq, final), plaintext);
    finished_ = final;
    // Nothing is sealed after the final chunk: the key goes at once, not when the sealer does.
    if (final) secure_wipe(key_);
    return sse_event({{"seq", seq},
                      {"final", final},
                      {"ciphertext", base64_encode(sealed.ciphertext)},
                      {"tag", base64_encode(sealed.tag)}});
}

}  // namespace ossara::router_protocol
