#include "transport/curl_handles.hpp"

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

}  // namespace ossara::detail
