// Reading a decrypted answer: never crashes, fails only with ValueError or
// TypeError, returns an object or null, and reads every UTF-8 JSON text that
// nlohmann's strict parser reads the same way.
#include "codec/plaintext.hpp"
#include "fuzz_check.hpp"

#include <ossara/Veilrelay.hpp>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    std::optional<ossara::json> answer;
    bool rejected_as_value = false;
    try {
        answer = ossara::detail::parse_plaintext(bytes);
    } catch (const ossara::ValueError& error) {
        rejected_as_value = true;
        OSSARA_FUZZ_CHECK(std::string_view(error.what()).starts_with("Decrypted response is not valid JSON: "));
    } catch (const ossara::TypeError&) {
    } catch (...) {
        ossara::fuzz::fail_untyped_error();
    }
    if (answer) OSSARA_FUZZ_CHECK(answer->is_object() || answer->is_null());

    // Plain UTF-8 (no byte-order mark) that nlohmann accepts must be accepted
    // with the same value, or refused as the wrong kind when not an object.
    // JSON text never holds a NUL byte, but nlohmann stops reading at one, so
    // inputs with NULs (read as UTF-16/32 here) are left out of the comparison.
    const bool has_bom = size >= 2 && (data[0] == 0xEF || data[0] == 0xFE || data[0] == 0xFF);
    const bool has_nul = std::find(data, data + size, 0) != data + size;
    if (!has_bom && !has_nul) {
        const auto reference = ossara::json::parse(data, data + size, nullptr, /*allow_exceptions=*/false);
        if (!reference.is_discarded()) {
            OSSARA_FUZZ_CHECK(!rejected_as_value);
            if (answer) OSSARA_FUZZ_CHECK(*answer == reference);
        }
    }
    return 0;
}
