#include "transport/curl_handles.hpp"

#include <openssl/ssl.h>

#include <mutex>
#include <string>
#include <stdexcept>

namespace ossara::detail {

void ensure_curl_initialised() {
    static std::once_flag once;
    static CURLcode result = CURLE_OK;
    std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
    if (result != CURLE_OK) throw std::runtime_error(std::string("curl_global_init failed: ") + curl_easy_strerror(result));
}

namespace {
CURLcode clear_key_log(CURL*, void* ssl_ctx, void*) {
    SSL_CTX_set_keylog_callback(static_cast<SSL_CTX*>(ssl_ctx), nullptr);
    return CURLE_OK;
}
}  // namespace

void disable_tls_key_log(CURL* easy) {
    // Refused only by a libcurl whose TLS is not OpenSSL; such a build does
    // not take the key log through OpenSSL's callback either.
    (void)curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, &clear_key_log);
}

}  // namespace ossara::detail
