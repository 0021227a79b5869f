#pragma once
// A response package as a router writes it for a client, built from the
// client library's own primitives (header only: the suites that use it see
// the library's sources). Tests that feed decrypt_response build theirs here.
#include "codec/base64.hpp"
#include "crypto/crypto.hpp"

#include <ossara/Veilrelay.hpp>

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace ossara::testing {

// The package holding `plaintext` encrypted with the content key `key` and a
// fresh nonce, the key wrapped for the client's PEM public key. Returned as
// a document, so a test can change members before writing it.
inline json seal_response(std::span<const std::uint8_t> plaintext, std::span<const std::uint8_t> key,
                          std::string_view client_public_key_pem) {
    const auto client_key = detail::load_public_key_pem(client_public_key_pem);
    std::array<std::uint8_t, detail::kGcmNonceSize> nonce{};
    detail::random_bytes(nonce);
    std::vector<std::uint8_t> ciphertext(plaintext.size());
    const auto tag = detail::aes_gcm_encrypt(key, nonce, plaintext, ciphertext);
    return {{"version", "1.0"},
            {"algorithm", "hybrid-aes256-rsa4096"},
            {"encrypted_payload",
             {{"ciphertext", detail::base64_encode(ciphertext)},
              {"nonce", detail::base64_encode(nonce)},
              {"tag", detail::base64_encode(tag)}}},
            {"encrypted_aes_key", detail::base64_encode(detail::rsa_oaep_wrap(client_key.get(), key))}};
}

}  // namespace ossara::testing
