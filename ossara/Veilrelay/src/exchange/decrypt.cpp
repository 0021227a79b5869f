// Response decryption: check the package, unwrap the content key with the
// client's private key, decrypt and authenticate, parse, add _metadata.
#include <ossara/Veilrelay.hpp>

#include "codec/base64.hpp"
#include "codec/package.hpp"
#include "codec/plaintext.hpp"
#include "core/cancellation.hpp"
#include "core/logging.hpp"
#include "core/secret_bytes.hpp"
#include "core/secure_memory_binding.hpp"
#include "crypto/crypto.hpp"

#include <exception>
#include <optional>
#include <string_view>

namespace ossara {

namespace {

// Characters of the ciphertext's text decoded and decrypted at a time: small
// enough that the decoded piece is still in cache when it is decrypted.
constexpr std::size_t kDecryptPiece = 64 * 1024;

// Decodes the ciphertext a piece at a time straight into the plaintext
// buffer and decrypts each piece there in place, so the decoded ciphertext
// never exists as a buffer of its own. The errors come in the order of
// decoding the three members whole, then starting the cipher: a fault of the
// ciphertext's text is reported before one of the nonce, the tag or the key.
// Then gives back the body, which the ciphertext's text may point into.
detail::SecretBytes decrypt_payload(const detail::ReceivedPackage& package, std::span<const std::uint8_t> key,
                                    std::vector<std::uint8_t>& body) {
    const std::string_view text = package.ciphertext_text();
    std::optional<detail::AesGcmDecryptor> decryptor;
    std::exception_ptr deferred;
    try {
        const std::vector<std::uint8_t> nonce = detail::base64_decode_lenient(detail::base64_member(*package.nonce));
        const std::vector<std::uint8_t> tag = detail::base64_decode_lenient(detail::base64_member(*package.tag));
        decryptor.emplace(key, nonce, tag);
    } catch (...) {
        deferred = std::current_exception();  // raised once the ciphertext's text has been checked
    }

    detail::SecretBytes plaintext(detail::Base64Decoder::max_output(text.size()));
    detail::Base64Decoder decoder;
    std::size_t produced = 0;
    for (std::size_t at = 0; at < text.size(); at += kDecryptPiece) {
        std::uint8_t* const out = plaintext.data() + produced;
        const std::size_t n = decoder.feed(text.substr(at, kDecryptPiece), out);
        if (decryptor) decryptor->update(std::span<const std::uint8_t>(out, n), out);
        produced += n;
    }
    decoder.finish();
    if (deferred) std::rethrow_exception(deferred);
    decryptor->finish();
    plaintext.truncate(produced);
    std::vector<std::uint8_t>().swap(body);
    return plaintext;
}

}  // namespace

asio::awaitable<json> Veilrelay::decrypt_response(std::vector<std::uint8_t> encrypted_response,
                                                  std::string payload_id) {
    detail::log().info("Decrypting response...");
    detail::ReceivedPackage package = detail::check_package(encrypted_response);
    if (!private_key_) {
        throw SecurityError("Private key not initialized. Call generate_keys() or load_keys() first.");
    }

    json answer;
    std::size_t plaintext_size = 0;
    try {
        const std::vector<std::uint8_t> wrapped_key =
            detail::base64_decode_lenient(detail::base64_member(*package.encrypted_aes_key));
        detail::SecretBytes aes_key = detail::rsa_oaep_unwrap(private_key_.get(), wrapped_key);

        if (_use_secure_memory) {
            // The unwrapped key and the plaintext are moved into guarded
            // copies at once (their sources are wiped on entry).
            auto protected_aes_key = detail::enter_secure_bytearray(aes_key.span(), true);
            detail::SecretBytes plaintext = decrypt_payload(package, protected_aes_key.data(), encrypted_response);
            plaintext_size = plaintext.size();
            {
                auto protected_plaintext = detail::enter_secure_bytearray(plaintext.span(), true);
                plaintext.release_wiped();  // zeroed by the guard on entry; its memory goes back now
                answer = detail::parse_plaintext(protected_plaintext.data());
            }
        } else {
            detail::log().warn("Secure memory not available, using standard decryption");
            const detail::SecretBytes plaintext = decrypt_payload(package, aes_key.span(), encrypted_response);
            plaintext_size = plaintext.size();
            answer = detail::parse_plaintext(plaintext.span());
        }
    } catch (const ValueError&) {
        throw;
    } catch (const CancelledError&) {
        throw;
    } catch (const std::exception& error) {
        if (detail::is_cancellation(error)) throw CancelledError();
        // A tag that does not verify above all; one fixed message, nothing chained.
        throw SecurityError("Decryption failed: integrity check or authentication failed");
    }

    // processed_at is moved, not copied: a received value may be deeply nested.
    detail::complete_metadata(answer, payload_id, std::move(package.processed_at), package.algorithm);
    detail::log().debug("Response decrypted successfully");
    detail::log().debug("Response size: {} bytes", plaintext_size);
    co_return std::move(answer);
}

}  // namespace ossara
