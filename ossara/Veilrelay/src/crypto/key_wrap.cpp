#include "crypto/key_wrap.hpp"

#include "crypto/crypto.hpp"

#include <openssl/crypto.h>

#include <algorithm>
#include <stdexcept>

namespace ossara::detail {

namespace {
// Wipes a span when the scope ends, also during stack unwinding.
class WipeOnExit {
public:
    explicit WipeOnExit(std::span<std::uint8_t> bytes) noexcept : bytes_(bytes) {}
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;
    ~WipeOnExit() {
        if (!bytes_.empty()) OPENSSL_cleanse(bytes_.data(), bytes_.size());
    }

private:
    std::span<std::uint8_t> bytes_;
};
}  // namespace

std::vector<std::uint8_t> wrap_key_through_copy(EVP_PKEY* server_key, std::span<const std::uint8_t> aes_key,
                                                std::span<std::uint8_t> key_copy) {
    if (key_copy.size() != aes_key.size()) throw std::invalid_argument("key copy must match the key size");
    const WipeOnExit wipe(key_copy);
    std::copy(aes_key.begin(), aes_key.end(), key_copy.begin());
    return rsa_oaep_wrap(server_key, key_copy);
}

}  // namespace ossara::detail
