#pragma once
// Small byte helpers shared by the tests.
#include <algorithm>
#include <cstdint>
#include <span>
#include <string_view>

namespace ossara::testing {

inline bool all_zero(std::span<const std::uint8_t> bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

// The bytes of a text, without a copy (the text must outlive the view).
inline std::span<const std::uint8_t> bytes_view(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace ossara::testing
