#pragma once
// The router's side of the hybrid package: RSA-OAEP-SHA256 key wrap and
// AES-256-GCM content encryption, written directly on OpenSSL EVP. Kept
// separate from the client's crypto layer on purpose: a round trip through
// the router checks the client against a second implementation.
#include <nlohmann/json.hpp>
#include <openssl/evp.h>

#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

namespace ossara::router_protocol {

struct EvpKeyFree {
    void operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }
};
using EvpKey = std::unique_ptr<EVP_PKEY, EvpKeyFree>;

// A package (or a key) the router cannot use. The message becomes the
// "detail" of a 400 answer.
class PackageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

EvpKey generate_rsa_key(unsigned bits);
EvpKey load_private_key(std::string_view pem);  // PackageError when unreadable
EvpKey load_public_key(std::string_view pem);   // PackageError when unreadable
std::string public_key_pem(EVP_PKEY* key);

// Checks and decrypts a request package; returns the plaintext bytes.
std::string open_package(std::string_view body, EVP_PKEY* private_key);

// The same with the first of `private_keys` that opens the package (a router
// in a key rotation holds its current key and the previous ones). When none
// does, the failure is the one the first key gave.
std::string open_package(std::string_view body, std::span<EVP_PKEY* const> private_keys);

// Encrypts `plaintext` for `recipient` with a fresh key and nonce.
nlohmann::ordered_json seal_package(std::string_view plaintext, EVP_PKEY* recipient);

// The pieces of a package, shared with the streamed answers.
struct SealedBytes {
    std::string ciphertext;
    std::string tag;  // 16 bytes
};
// AES-256-GCM with a 32-byte key and `aad` as additional data.
SealedBytes aes_gcm_seal(std::string_view key, std::string_view nonce, std::string_view aad, std::string_view plaintext);
// RSA-OAEP-SHA256 (MGF1 SHA-256) of `key` for `recipient`.
std::string wrap_key(std::string_view key, EVP_PKEY* recipient);
std::string random_bytes(std::size_t size);
// Zeroes `s` in a way the compiler keeps, then empties it.
void secure_wipe(std::string& s) noexcept;
// Zeroes the first `n` bytes of `s` and removes them.
void secure_wipe_prefix(std::string& s, std::size_t n) noexcept;

std::string base64_encode(std::string_view bytes);
std::string base64_decode(std::string_view text);  // PackageError on bad input

}  // namespace ossara::router_protocol
