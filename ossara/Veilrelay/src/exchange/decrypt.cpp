// Response decryption: check the package, unwrap the content key with the
// client's private key, decrypt and authenticate, parse, add _metadata.
#include <ossara/Veilrelay.hpp>

#include "codec/base64.hpp"
#include "codec/package.hpp"
#include "codec/plaintext.hpp"
#include "core/logging.hpp"
#include "core/secret_bytes.hpp"
#include "core/secure_memory_binding.hpp"
#include "crypto/crypto.hpp"

#include <exception>

namespace ossara {

namespace {

struct DecodedPayload {
    std::vector<std::uint8_t> ciphertext;
    std::vector<std::uint8_t> nonce;
    std::vector<std::uint8_t> tag;
};

// Decodes the three members, then gives back the body, which the
// ciphertext's text may point into: the body is a third larger than the
// payload and is not needed any more.
DecodedPayload decode_payload(const detail::ReceivedPackage& package, std::vector<std::uint8_t>& body) {
    DecodedPayload decoded;
    decoded.ciphertext = detail::base64_decode_lenient(package.ciphertext_text());
    decoded.nonce = detail::base64_decode_lenient(detail::base64_member(*package.nonce));
    decoded.tag = detail::base64_decode_lenient(detail::base64_member(*package.tag));
    std::vector<std::uint8_t>().swap(body);
    return decoded;
}

}  // namespace

asio::awaitable<json> Veilrelay::decrypt_response(std::vector<std::uint8_t> encrypted_response,
                                                  std::string payload_id) {
    detail::log().info("Decrypting response...");
    const detail::ReceivedPackage package = detail::check_package(encrypted_response);
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
            detail::SecretBytes plaintext;
            {
                // The decoded ciphertext is released before the plaintext is parsed.
                const DecodedPayload payload = decode_payload(package, encrypted_response);
                plaintext =
                    detail::aes_gcm_decrypt(protected_aes_key.data(), payload.nonce, payload.ciphertext, payload.tag);
            }
            plaintext_size = plaintext.size();
            {
                auto protected_plaintext = detail::enter_secure_bytearray(plaintext.span(), true);
                plaintext.wipe();  // already zeroed by the guard; its memory goes back now
                answer = detail::parse_plaintext(protected_plaintext.data());
            }
        } else {
            detail::log().warn("Secure memory not available, using standard decryption");
            detail::SecretBytes plaintext;
            {
                const DecodedPayload payload = decode_payload(package, encrypted_response);
                plaintext = detail::aes_gcm_decrypt(aes_key.span(), payload.nonce, payload.ciphertext, payload.tag);
            }
            plaintext_size = plaintext.size();
            answer = detail::parse_plaintext(plaintext.span());
        }
    } catch (const ValueError&) {
        throw;
    } catch (const CancelledError&) {
        throw;
    } catch (const std::exception&) {
        // A tag that does not verify above all; one fixed message, nothing chained.
        throw SecurityError("Decryption failed: integrity check or authentication failed");
    }

    detail::complete_metadata(answer, payload_id, package.processed_at, package.algorithm);
    detail::log().debug("Response decrypted successfully");
    detail::log().debug("Response size: {} bytes", plaintext_size);
    co_return answer;
}

}  // namespace ossara
