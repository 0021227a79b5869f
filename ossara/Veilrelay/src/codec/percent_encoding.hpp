#pragma once
// Percent-encoding of a header value: every UTF-8 byte except A-Z a-z 0-9
// and _ . - ~ / becomes %XX (uppercase hex).
#include <string>
#include <string_view>

namespace ossara::detail {
std::string percent_encode_header(std::string_view value);
}
