// The single-pass JSON reader against nlohmann's parser: every text it
// accepts, nlohmann accepts too and reads to the same document (same types,
// same member order, floats bit for bit); with a borrowed member, the view
// lies inside the text and the document holds "" in its place. nlohmann
// cannot read the non-finite tokens, so both sides see them as null (a
// token may also sit in a value that a repeated name later replaces); it
// refuses numbers beyond the double range, which the reader reads as infinity,
// and escapes of lone surrogates, which both our readers keep as the code
// unit: there the full reader is the reference.
#include "codec/json_fast_reader.hpp"
#include "codec/json_reader.hpp"
#include "fuzz_check.hpp"
#include "non_finite_tokens.hpp"
#include "support/json_identical.hpp"

#include <ossara/Veilrelay.hpp>

#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

using ossara::json;

// The document with every non-finite float replaced by null.
void non_finite_as_null(json& value) {
    if (value.is_number_float() && !std::isfinite(value.get<double>())) value = nullptr;
    if (value.is_structured())
        for (auto& child : value) non_finite_as_null(child);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    ossara::detail::BorrowedString borrow{"a", "b", std::nullopt};
    std::optional<json> fast;
    try {
        fast = ossara::detail::read_json_fast(text, &borrow);
    } catch (...) {
        ossara::fuzz::fail_untyped_error();  // it gives up, it never throws
    }
    if (!fast) {
        OSSARA_FUZZ_CHECK(!borrow.text);
        return 0;
    }
    if (borrow.text) {
        OSSARA_FUZZ_CHECK(borrow.text->data() >= text.data());
        OSSARA_FUZZ_CHECK(borrow.text->data() + borrow.text->size() <= text.data() + text.size());
        json& held = (*fast)["a"]["b"];
        OSSARA_FUZZ_CHECK(held == "");
        held = std::string(*borrow.text);
    }
    non_finite_as_null(*fast);
    const std::string standard =
        ossara::fuzz::replace_non_finite_tokens(text, [](std::string_view) { return std::string("null"); });
    json reference;
    try {
        reference = json::parse(standard);
    } catch (const json::out_of_range&) {
        // A number beyond the double range: infinity here, refused by nlohmann.
        return 0;
    } catch (const json::parse_error&) {
        try {
            reference = ossara::detail::parse_json_full(text);
        } catch (const json::exception&) {
            ossara::fuzz::fail("the full reader refuses a text the single-pass reader accepted");
        }
        non_finite_as_null(reference);
    }
    OSSARA_FUZZ_CHECK(ossara::testing::json_identical(*fast, reference));
    return 0;
}
