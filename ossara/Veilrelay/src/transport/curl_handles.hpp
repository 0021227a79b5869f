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

}  // namespace ossara::detail
