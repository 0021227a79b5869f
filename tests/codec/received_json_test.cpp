// The bounds on received JSON: the nesting limit in every reader path (the
// single-pass reader and the full one it hands deeper texts to), numbers
// beyond the double range, and the places that take a received value on
// (package, answer, status rows), on a thread with a small stack.
#include "codec/json_reader.hpp"
#include "codec/package.hpp"
#include "codec/plaintext.hpp"
#include "exchange/status_errors.hpp"
#include "support/bytes.hpp"
#include "support/small_stack.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace ossara::testing {
namespace {

using detail::kMaxJsonDepth;
using detail::parse_json;

std::string arrays(int depth, const std::string& inner = "") {
    return std::string(static_cast<std::size_t>(depth), '[') + inner + std::string(static_cast<std::size_t>(depth), ']');
}
std::string objects(int depth) {
    std::string text;
    for (int i = 0; i < depth; ++i) text += R"({"a": )";
    text += "1";
    return text + std::string(static_cast<std::size_t>(depth), '}');
}

TEST(ReceivedJson, NestingIsBoundedInEveryReaderPathOnASmallStack) {
    run_on_small_stack([] {
        for (const auto& make : {+[](int d) { return arrays(d); }, +[](int d) { return objects(d); }}) {
            EXPECT_NO_THROW(parse_json(make(kMaxJsonDepth)));
            EXPECT_THROW(parse_json(make(kMaxJsonDepth + 1)), json::parse_error);
            EXPECT_THROW(parse_json(make(100000)), json::parse_error);
        }
        // Brackets inside strings do not count.
        EXPECT_NO_THROW(parse_json(arrays(kMaxJsonDepth - 1, R"(["[[[[{{\"[["])")));
        EXPECT_THROW(parse_json(arrays(kMaxJsonDepth, R"(["]]"])")), json::parse_error);
    });
}

TEST(ReceivedJson, NumbersBeyondTheDoubleRangeAreInfinite) {
    const double inf = std::numeric_limits<double>::infinity();
    const std::string huge_integer = "1" + std::string(400, '0');
    for (const std::string& wrap : {std::string("%"), arrays(600, "%")}) {  // single-pass and full reader
        SCOPED_TRACE(wrap.size());
        auto read = [&](const std::string& number) {
            json value = parse_json(std::string(wrap).replace(wrap.find('%'), 1, number));
            while (value.is_array()) value = json(value[0]);
            return value.get<double>();
        };
        EXPECT_EQ(read("1e400"), inf);
        EXPECT_EQ(read("-1e400"), -inf);
        EXPECT_EQ(read("0.0001e309"), 1e305);
        EXPECT_EQ(read("123.5e99999999999999999999"), inf);
        EXPECT_EQ(read(huge_integer + ".5"), inf);
        EXPECT_EQ(read("1e-400"), 0.0);
        EXPECT_EQ(read("-" + huge_integer), -inf);
    }
}

TEST(ReceivedJson, EveryPlaceTakesTheBoundOnASmallStack) {
    const std::string deep = arrays(50000);
    run_on_small_stack([&] {
        const std::string package = R"({"version": "1.0", "algorithm": "hybrid-aes256-rsa4096", "encrypted_payload": )"
                                    R"({"ciphertext": "", "nonce": "", "tag": ""}, "encrypted_aes_key": "", "processed_at": )" +
                                    deep + "}";
        try {
            (void)detail::check_package(bytes_view(package));
            ADD_FAILURE() << "accepted";
        } catch (const ValueError& e) {
            EXPECT_STREQ(e.what(), "Invalid encrypted package format: malformed JSON");
        }
        EXPECT_THROW(detail::parse_plaintext(bytes_view(R"({"a": )" + deep + "}")), ValueError);
        try {
            detail::raise_for_status(503, bytes_view(R"({"detail": )" + deep + "}"));
        } catch (const ServiceUnavailableError& e) {
            EXPECT_STREQ(e.what(), "Service unavailable: Inference backend is unavailable");
            EXPECT_FALSE(e.error_details.has_value());
        }
        // Within the bound, a non-string detail is written out, not dumped recursively.
        try {
            detail::raise_for_status(500, bytes_view(R"({"detail": )" + arrays(kMaxJsonDepth - 1) + "}"));
        } catch (const ServerError& e) {
            EXPECT_EQ(std::string(e.what()), "Server error: " + arrays(kMaxJsonDepth - 1));
        }
    });
}

}  // namespace
}  // namespace ossara::testing
