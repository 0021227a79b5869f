// Construction of a client: URL normalisation, the secure-memory decision and
// the warnings about a router URL that does not use HTTPS.
#include <ossara/Veilrelay.hpp>

#include "core/logging.hpp"
#include "core/secure_memory_binding.hpp"

#include <openssl/evp.h>

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

}  // namespace ossara
