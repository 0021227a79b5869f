#pragma once
// Doubles to and from decimal text, exactly and without the C++ library's
// floating-point <charconv> (older C++ libraries lack it, Apple's before
// macOS 13.3) or the C locale in force (strtod reads "0,5" under some).
#include <charconv>

namespace ossara::detail {

// Reads the number text [first, last) (JSON's syntax; no "+", "inf" or
// "nan") into `value`, correctly rounded. As std::from_chars: `ptr` is one
// past the last character read, and `ec` is result_out_of_range, with
// `value` untouched, when the number overflows a double or underflows to zero.
std::from_chars_result read_double(const char* first, const char* last, double& value) noexcept;

// The shortest decimal digits that read back as the finite `value`, and the
// decimal exponent of the first: 0.05 is "5" and -2, 1e16 "1" and 16, 0 "0" and 0.
struct ShortestDigits {
    bool negative = false;
    char digits[17] = {};  // a double never needs more
    int count = 0;
    int exponent = 0;
};
ShortestDigits shortest_digits(double value) noexcept;

}  // namespace ossara::detail
