// The single-pass JSON reader against nlohmann's parser: every text it
// accepts, nlohmann accepts too and reads to the same document (same types,
// same member order, floats bit for bit); with a borrowed member, the view
// lies inside the text and the document holds "" in its place. Documents
// with non-finite floats (which nlohmann cannot read) are only checked for
// not crashing.
#include "detail/json_fast_reader.hpp"
#include "fuzz_check.hpp"

#include <ossara/Veilrelay.hpp>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace {

using ossara::json;

bool has_non_finite(const json& value) {
    if (value.is_number_float()) return !std::isfinite(value.get<double>());
    if (value.is_structured())
        for (const auto& child : value)
            if (has_non_finite(child)) return true;
    return false;
}

bool identical(const json& a, const json& b) {
    if (a.type() != b.type()) return false;
    if (a.is_number_float()) {
        const double x = a.get<double>(), y = b.get<double>();
        return std::memcmp(&x, &y, sizeof x) == 0;
    }
    if (a.is_object()) {
        if (a.size() != b.size()) return false;
        auto j = b.items().begin();
        for (const auto& i : a.items()) {
            if (i.key() != j.key() || !identical(i.value(), j.value())) return false;
            ++j;
        }
        return true;
    }
    if (a.is_array()) {
        if (a.size() != b.size()) return false;
        for (std::size_t k = 0; k < a.size(); ++k)
            if (!identical(a[k], b[k])) return false;
        return true;
    }
    return a == b;
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
    if (has_non_finite(*fast)) return 0;
    const json reference = json::parse(text, nullptr, /*allow_exceptions=*/false);
    OSSARA_FUZZ_CHECK(!reference.is_discarded());
    OSSARA_FUZZ_CHECK(identical(*fast, reference));
    return 0;
}
