// Construction of a client: URL normalisation, the secure-memory decision and
// the warnings about a router URL that does not use HTTPS.
#include <ossara/Veilrelay.hpp>

#include "core/logging.hpp"
#include "core/secure_memory_binding.hpp"

#include <openssl/evp.h>

#include <cctype>

namespace ossara {

namespace detail {
void EvpPkeyDeleter::operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }
}  // namespace detail

namespace {

std::string without_trailing_slashes(std::string url) {
    const auto end = url.find_last_not_of('/');
    url.erase(end == std::string::npos ? 0 : end + 1);
    return url;
}

constexpr std::string_view kHttpWarning =
    "\u26A0\uFE0F  WARNING: Using HTTP instead of HTTPS. This is INSECURE and should only be used for local "
    "development. Man-in-the-middle attacks are possible!";

}  // namespace

Veilrelay::Veilrelay(std::string router_url, bool allow_http, bool secure_memory, std::source_location where)
    : router_url_(without_trailing_slashes(std::move(router_url))),
      private_key_(),
      public_key_pem_(),
      key_size_(4096),
      allow_http_(allow_http),
      // The module binding runs on first use, so it happens here at the latest.
      _use_secure_memory(detail::secure_memory_available() && secure_memory) {
    if (!router_url_.starts_with("https://")) {
        if (allow_http_)
            warn("UserWarning", kHttpWarning, where);
        else
            detail::log().warn(
                "Non-HTTPS URL detected with allow_http=False. Requests will be rejected at runtime by "
                "fetch_server_public_key().");
    }
}

namespace {

// 64 hex digits, with or without ':' between the pairs; kept in the printed
// form so that log lines compare at a glance.
std::string normal_fingerprint(const std::string& fingerprint) {
    std::string digits;
    for (const char c : fingerprint) {
        if (c == ':') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c)) || digits.size() == 64)
            throw ValueError("Invalid server key fingerprint: expected the 64 hex digits of a SHA-256 digest");
        digits += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    if (digits.size() != 64)
        throw ValueError("Invalid server key fingerprint: expected the 64 hex digits of a SHA-256 digest");
    std::string normal;
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        if (i != 0) normal += ':';
        normal.append(digits, i, 2);
    }
    return normal;
}

}  // namespace

void Veilrelay::pin_server_key(std::optional<std::string> fingerprint) {
    if (!fingerprint) {
        pinned_server_keys_.clear();
        return;
    }
    pin_server_keys({*fingerprint});
}

void Veilrelay::pin_server_keys(const std::vector<std::string>& fingerprints) {
    std::vector<std::string> normal;
    for (const auto& fingerprint : fingerprints) normal.push_back(normal_fingerprint(fingerprint));
    pinned_server_keys_ = std::move(normal);
}

}  // namespace ossara
