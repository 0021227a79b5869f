// Payload encryption: serialise, limit, encrypt with a fresh AES-256-GCM key,
// fetch the server key, wrap the content key, write the request package.
#include <ossara/Veilrelay.hpp>

#include "codec/json_writer.hpp"
#include "codec/package.hpp"
#include "core/cancellation.hpp"
#include "core/logging.hpp"
#include "core/secret_bytes.hpp"
#include "core/secure_memory_binding.hpp"
#include "crypto/crypto.hpp"
#include "crypto/key_wrap.hpp"
#include "exchange/encrypt_probe.hpp"

#include <algorithm>
#include <array>
#include <exception>
#include <string>

namespace ossara {

namespace {
// Pieces of the payload encrypted and encoded at a time: a multiple of the
// AES block and of base64's three-byte group, small enough to stay in cache.
constexpr std::size_t kEncryptPiece = 48 * 1024;
}  // namespace

asio::awaitable<std::vector<std::uint8_t>> Veilrelay::_do_encrypt(std::span<std::uint8_t> payload_bytes,
                                                                  std::span<std::uint8_t> aes_key) {
    std::array<std::uint8_t, detail::kGcmNonceSize> nonce{};
    detail::random_bytes(nonce);

    // Encrypt before the key is fetched: a failed fetch discards the ciphertext.
    // It is encrypted a piece at a time and each piece is encoded straight
    // into the package, so the ciphertext never exists whole.
    detail::PackageWriter package(payload_bytes.size());
    {
        detail::AesGcmEncryptor encryptor(aes_key, nonce);
        std::vector<std::uint8_t> piece(std::min(kEncryptPiece, payload_bytes.size()));
        for (std::size_t at = 0; at < payload_bytes.size(); at += piece.size()) {
            const auto plain = payload_bytes.subspan(at, std::min(piece.size(), payload_bytes.size() - at));
            encryptor.update(plain, piece.data());
            package.append_ciphertext(std::span<const std::uint8_t>(piece).first(plain.size()));
        }
        package.end_payload(nonce, encryptor.finish());
    }

    // The key as sent (for the pin) and as parsed (to wrap the content key).
    auto fetched = co_await _fetch_server_key();
    const detail::EvpPkeyPtr server_key = std::move(fetched.second);
    if (!pinned_server_keys_.empty()) {
        // Refused before the content key is wrapped for it: a substituted key
        // gets nothing it could open.
        const std::string received = public_key_fingerprint(fetched.first);
        if (std::find(pinned_server_keys_.begin(), pinned_server_keys_.end(), received) == pinned_server_keys_.end()) {
            std::string pinned;
            for (const auto& pin : pinned_server_keys_) pinned += (pinned.empty() ? "" : " or ") + pin;
            detail::log().error("Server public key does not match the pinned key: pinned {}, received {}", pinned,
                                received);
            throw SecurityError("Server public key does not match the pinned key");
        }
    }

    // The RSA operation gets a copy of the key that is wiped right after.
    detail::SecretBytes key_copy(aes_key.size());
    const std::vector<std::uint8_t> encrypted_aes_key =
        detail::wrap_key_through_copy(server_key.get(), aes_key, key_copy.span());

    std::vector<std::uint8_t> body = std::move(package).finish(encrypted_aes_key);
    detail::log().debug("Encrypted package size: {} bytes", body.size());
    co_return body;
}

asio::awaitable<std::vector<std::uint8_t>> Veilrelay::encrypt_payload(json payload) {
    if (!payload.is_object()) throw TypeError("payload must be a JSON object");
    detail::log().info("Encrypting payload...");
    if (payload.empty()) throw ValueError("Payload cannot be empty");

    std::vector<std::uint8_t> package;
    try {
        detail::SecretBytes payload_json(detail::serialise_json_bytes(payload));
        if (payload_json.size() > MAX_PAYLOAD_SIZE) {
            throw ValueError("Payload too large: " + std::to_string(payload_json.size()) +
                             " bytes (max: " + std::to_string(MAX_PAYLOAD_SIZE) + ")");
        }
        detail::log().debug("Payload size: {} bytes", payload_json.size());

        detail::SecretBytes aes_key(detail::kAesKeySize);
        detail::random_bytes(aes_key.span());

        if (_use_secure_memory) {
            // Entering each guard moves the bytes into a locked copy and wipes
            // the source. Leaving (reverse order) zeroes and unlocks the key
            // copy first, then the payload copy.
            auto protected_payload = detail::enter_secure_bytearray(payload_json.span(), true);
            auto protected_aes_key = detail::enter_secure_bytearray(aes_key.span(), true);
            if (encrypt_probe_ != nullptr) {
                encrypt_probe_->guards_entered(payload_json.span(), aes_key.span(), protected_payload.data(),
                                               protected_aes_key.data());
            }
            // The serialised payload lives on in its guarded copy only; its
            // buffer, wiped by the guard, goes back now rather than after the
            // exchange.
            payload_json.release_wiped();
            package = co_await _do_encrypt(protected_payload.data(), protected_aes_key.data());
        } else {
            detail::log().warn("Secure memory not available, using standard encryption");
            package = co_await _do_encrypt(payload_json.span(), aes_key.span());
        }
    } catch (const ValueError&) {
        throw;
    } catch (const SecurityError&) {
        throw;
    } catch (const CancelledError&) {
        throw;
    } catch (const std::exception& error) {
        if (detail::is_cancellation(error)) throw CancelledError();
        // One fixed message; the replaced error is not chained to it.
        throw SecurityError("Encryption operation failed");
    }
    co_return package;
}

}  // namespace ossara
