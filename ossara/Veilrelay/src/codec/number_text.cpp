// fast_float reads (correctly rounded, locale-free, header-only); fmt's
// shortest round-trip formatting writes.
#include "codec/number_text.hpp"

#include <fast_float/fast_float.h>
#include <fmt/format.h>

#include <algorithm>
#include <cmath>

namespace ossara::detail {

std::from_chars_result read_double(const char* first, const char* last, double& value) noexcept {
    double parsed = 0;
    const auto result = fast_float::from_chars(first, last, parsed);
    if (result.ec != std::errc()) return {result.ptr, result.ec};
    // fast_float rounds beyond the range to infinity or zero; report both as
    // std::from_chars does (a zero is out of range when its digits are not).
    if (std::isinf(parsed)) return {result.ptr, std::errc::result_out_of_range};
    if (parsed == 0) {
        const char* const mantissa_end = std::find_if(first, result.ptr, [](char c) { return c == 'e' || c == 'E'; });
        if (std::any_of(first, mantissa_end, [](char c) { return c >= '1' && c <= '9'; }))
            return {result.ptr, std::errc::result_out_of_range};
    }
    value = parsed;
    return {result.ptr, std::errc()};
}

ShortestDigits shortest_digits(double value) noexcept {
    // fmt's "{}" is the shortest round trip, fixed ("0.0001", "1000") or
    // scientific ("1e+16", "5e-324"); the digits and exponent are read back
    // from either.
    char text[48];
    const char* end = fmt::format_to_n(text, sizeof text, "{}", value).out;
    const char* p = text;
    ShortestDigits out;
    if (*p == '-') {
        out.negative = true;
        ++p;
    }
    int point = -1;  // digits before the decimal point, once known
    int leading_zeros = 0;
    int seen = 0;  // digits read, zeros included
    for (; p != end && *p != 'e'; ++p) {
        if (*p == '.') {
            point = seen;
            continue;
        }
        ++seen;
        if (out.count == 0 && *p == '0') {
            ++leading_zeros;
        } else if (out.count < static_cast<int>(sizeof out.digits)) {
            out.digits[out.count++] = *p;
        }
    }
    if (point < 0) point = seen;
    int exponent = point - leading_zeros - 1;
    if (p != end) {  // 'e', a sign, then the exponent's digits
        const int sign = p[1] == '-' ? -1 : 1;
        int written = 0;
        for (p += 2; p != end; ++p) written = written * 10 + (*p - '0');
        exponent += sign * written;
    }
    while (out.count > 1 && out.digits[out.count - 1] == '0') --out.count;  // "1000" is 1e3
    if (out.count == 0) {  // zero
        out.digits[0] = '0';
        out.count = 1;
        exponent = 0;
    }
    out.exponent = exponent;
    return out;
}

}  // namespace ossara::detail
