// The wire serialiser against nlohmann's parser: whatever JSON nlohmann reads,
// the serialiser writes as one line of ASCII that reads back to the same
// value, and writing that value again gives the same text. Non-finite floats
// have no JSON form nlohmann reads, so the tokens NaN, Infinity and -Infinity
// are mapped to marker strings on both sides before comparing.
#include "codec/json_writer.hpp"
#include "fuzz_check.hpp"
#include "non_finite_tokens.hpp"

#include <ossara/Veilrelay.hpp>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

namespace {

using ossara::json;

constexpr std::string_view kNanMarker = "\x01NaN", kInfMarker = "\x01Infinity", kNegInfMarker = "\x01-Infinity";

std::string quoted_marker(std::string_view marker) { return "\"\\u0001" + std::string(marker.substr(1)) + "\""; }

// The serialised text with the bare non-finite tokens (outside strings)
// replaced by marker strings, so nlohmann can parse it.
std::string with_markers(std::string_view text) {
    return ossara::fuzz::replace_non_finite_tokens(text, [](std::string_view token) {
        return quoted_marker(token == "NaN" ? kNanMarker : token == "Infinity" ? kInfMarker : kNegInfMarker);
    });
}

// The same value with every non-finite float replaced by its marker.
json markers_for_non_finite(const json& value) {
    if (value.is_number_float()) {
        const double d = value.get<double>();
        if (std::isnan(d)) return std::string(kNanMarker);
        if (std::isinf(d)) return std::string(d < 0 ? kNegInfMarker : kInfMarker);
        return value;
    }
    if (value.is_object()) {
        json out = json::object();
        for (const auto& [key, member] : value.items()) out[key] = markers_for_non_finite(member);
        return out;
    }
    if (value.is_array()) {
        json out = json::array();
        for (const auto& element : value) out.push_back(markers_for_non_finite(element));
        return out;
    }
    return value;
}

// The first byte of the input picks a few non-finite floats to splice in, as
// nlohmann's parser never produces them from text.
void splice_non_finite(json& value, std::uint8_t selector) {
    if (!value.is_object() || (selector & 0x80) == 0) return;
    if (selector & 1) value["nan"] = std::numeric_limits<double>::quiet_NaN();
    if (selector & 2) value["inf"] = json::array({std::numeric_limits<double>::infinity(), 1.5});
    if (selector & 4) value["ninf"] = json{{"x", -std::numeric_limits<double>::infinity()}};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    json value = json::parse(data + 1, data + size, nullptr, /*allow_exceptions=*/false);
    if (value.is_discarded()) return 0;
    splice_non_finite(value, data[0]);

    std::string text;
    try {
        text = ossara::detail::serialise_json(value);
    } catch (...) {
        ossara::fuzz::fail_untyped_error();  // every value nlohmann reads is serialisable
    }
    for (const char c : text) OSSARA_FUZZ_CHECK(c >= 0x20 && c <= 0x7E);  // one line of printable ASCII

    const json reread = json::parse(with_markers(text), nullptr, /*allow_exceptions=*/false);
    OSSARA_FUZZ_CHECK(!reread.is_discarded());
    OSSARA_FUZZ_CHECK(reread == markers_for_non_finite(value));

    // Floats are written in a form that reads back exactly, so a second
    // pass over the re-read value gives the same text (markers included).
    OSSARA_FUZZ_CHECK(ossara::detail::serialise_json(reread) == with_markers(text));
    return 0;
}
