#pragma once
// Classification of libcurl's result codes into the failure kinds the
// client's operations map to their errors.
#include "transport/http_transport.hpp"

namespace ossara::detail {

HttpFailure classify_curl_code(int code) noexcept;

}  // namespace ossara::detail
