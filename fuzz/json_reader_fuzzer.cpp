// The single-pass JSON reader against nlohmann's parser: every text it
// accepts, nlohmann accepts too and reads to the same document (same types,
// same member order, floats bit for bit); with a borrowed member, the view
// lies inside the text and the document holds "" in its place. nlohmann
// cannot read the non-finite tokens, so both sides see them as null (a
// token may also sit in a value that a repeated name later replaces).
#include "detail/json_fast_reader.hpp"
#include "fuzz_check.hpp"

#include <ossara/Veilrelay.hpp>

#include <cmath>
#include <cstdint>
#include <cstring>
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

// A text the reader accepted, with the tokens NaN, Infinity and -Infinity
// outside strings written as null.
std::string non_finite_tokens_as_null(std::string_view text) {
    std::string out;
    bool in_string = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            out += c;
            if (c == '\\') out += text[++i];
            else if (c == '"') in_string = false;
            continue;
        }
        if (c == '"') in_string = true;
        bool replaced = false;
        for (const std::string_view token : {"-Infinity", "Infinity", "NaN"}) {
            if (text.substr(i).starts_with(token)) {
                out += "null";
                i += token.size() - 1;
                replaced = true;
                break;
            }
        }
        if (!replaced) out += c;
    }
    return out;
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
    non_finite_as_null(*fast);
    const json reference = json::parse(non_finite_tokens_as_null(text), nullptr, /*allow_exceptions=*/false);
    OSSARA_FUZZ_CHECK(!reference.is_discarded());
    OSSARA_FUZZ_CHECK(identical(*fast, reference));
    return 0;
}
