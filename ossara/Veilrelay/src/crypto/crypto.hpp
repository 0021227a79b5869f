#pragma once
// The cryptographic layer over OpenSSL 3 EVP. Inputs it rejects (key or tag
// length, PEM it cannot decode, a failed RSA unwrap) raise ossara::ValueError;
// a GCM tag that does not verify raises AuthenticationFailure, which is not a
// ValueError, because the callers map the two differently.
#include <ossara/Veilrelay.hpp>

#include "core/secret_bytes.hpp"
#include "crypto/openssl_util.hpp"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace ossara::detail {

using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, EvpPkeyDeleter>;

inline constexpr std::size_t kAesKeySize = 32;
inline constexpr std::size_t kGcmNonceSize = 12;
inline constexpr std::size_t kGcmTagSize = 16;

// A GCM tag that does not authenticate the ciphertext.
class AuthenticationFailure : public std::runtime_error {
public:
    AuthenticationFailure() : std::runtime_error("GCM tag verification failed") {}
};

// Fills `out` from the CSPRNG; std::runtime_error if the source fails.
void random_bytes(std::span<std::uint8_t> out);

// RSA key pair, public exponent 65537.
EvpPkeyPtr generate_rsa_key(int bits);

// Parses a PEM public key (SubjectPublicKeyInfo) of any algorithm; ValueError
// when the text cannot be decoded.
EvpPkeyPtr load_public_key_pem(std::string_view pem);

// SHA-256 of the key's DER SubjectPublicKeyInfo, as 32 lowercase hex pairs
// joined by ':' (the form `veilrelay keys show` prints).
std::string public_key_fingerprint(EVP_PKEY* key);

// SubjectPublicKeyInfo PEM of a key's public half.
std::string public_key_pem(const EVP_PKEY* key);

// RSA-OAEP (SHA-256, MGF1-SHA-256, empty label). Wrap with a key that is not
// RSA fails with std::runtime_error (not a ValueError).
std::vector<std::uint8_t> rsa_oaep_wrap(EVP_PKEY* public_key, std::span<const std::uint8_t> key);
// ValueError when the unwrap fails.
SecretBytes rsa_oaep_unwrap(EVP_PKEY* private_key, std::span<const std::uint8_t> wrapped);

// AES-GCM encryption fed in pieces (no AAD, 16-byte tag), so a large
// ciphertext can be encoded as it is produced. ValueError for a key or
// nonce the cipher rejects.
class AesGcmEncryptor {
public:
    AesGcmEncryptor(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce);
    ~AesGcmEncryptor();
    AesGcmEncryptor(const AesGcmEncryptor&) = delete;
    AesGcmEncryptor& operator=(const AesGcmEncryptor&) = delete;

    // Writes plaintext.size() bytes to ciphertext_out (which may alias plaintext).
    void update(std::span<const std::uint8_t> plaintext, std::uint8_t* ciphertext_out);
    std::array<std::uint8_t, kGcmTagSize> finish();

private:
    EvpCipherCtxPtr ctx_;
};

// AES-GCM decryption fed in pieces (no AAD), so a ciphertext can be decoded
// and decrypted a piece at a time. The constructor checks, in this order, the
// tag length (16 bytes), the key length (16/24/32 bytes, AES-128/192/256) and
// the nonce, each a ValueError; finish() raises AuthenticationFailure when
// the tag does not verify.
class AesGcmDecryptor {
public:
    AesGcmDecryptor(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                    std::span<const std::uint8_t> tag);
    ~AesGcmDecryptor();
    AesGcmDecryptor(const AesGcmDecryptor&) = delete;
    AesGcmDecryptor& operator=(const AesGcmDecryptor&) = delete;

    // Additional data the tag also covers; before the first update().
    void authenticate(std::span<const std::uint8_t> aad);
    // Writes ciphertext.size() bytes to plaintext_out (which may alias ciphertext).
    void update(std::span<const std::uint8_t> ciphertext, std::uint8_t* plaintext_out);
    void finish();

private:
    EvpCipherCtxPtr ctx_;
    std::array<std::uint8_t, kGcmTagSize> tag_{};
};

// AES-GCM, no AAD, 16-byte tag. Encrypt writes plaintext.size() bytes to
// ciphertext_out (which may alias plaintext) and returns the tag.
std::array<std::uint8_t, kGcmTagSize> aes_gcm_encrypt(std::span<const std::uint8_t> key,
                                                      std::span<const std::uint8_t> nonce,
                                                      std::span<const std::uint8_t> plaintext,
                                                      std::span<std::uint8_t> ciphertext_out);
// Accepts 16/24/32-byte keys (AES-128/192/256). ValueError for another key
// length, an empty nonce or a tag that is not 16 bytes; AuthenticationFailure
// when the tag does not verify.
SecretBytes aes_gcm_decrypt(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                            std::span<const std::uint8_t> ciphertext, std::span<const std::uint8_t> tag);

}  // namespace ossara::detail
