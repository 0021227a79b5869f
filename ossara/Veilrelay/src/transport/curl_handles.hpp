#pragma once
// RAII owners for libcurl handles, and the once-per-process global init.
#include <curl/curl.h>

#include <memory>

namespace ossara::detail {

struct CurlEasyCleanup {
    void operator()(CURL* handle) const noexcept { curl_easy_cleanup(handle); }
};
struct CurlMultiCleanup {
    void operator()(CURLM* handle) const noexcept { curl_multi_cleanup(handle); }
};
struct CurlSlistFree {
    void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};

using CurlEasy = std::unique_ptr<CURL, CurlEasyCleanup>;
using CurlMulti = std::unique_ptr<CURLM, CurlMultiCleanup>;
using CurlSlist = std::unique_ptr<curl_slist, CurlSlistFree>;

// curl_global_init exactly once (std::call_once); never cleaned up, because
// other code in the process may still use libcurl when we are done.
void ensure_curl_initialised();

// libcurl writes the TLS secrets of every connection to the file named by
// SSLKEYLOGFILE in the environment (read when it is initialised), which
// would expose the API key sent over that TLS. This client takes no
// configuration from the environment: the handle's TLS context gets its
// key-log callback cleared, which libcurl installs before it hands the
// context to CURLOPT_SSL_CTX_FUNCTION.
void disable_tls_key_log(CURL* easy);

}  // namespace ossara::detail
