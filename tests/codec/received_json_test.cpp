// The bounds on received JSON: the nesting limit in every reader path (the
// single-pass reader and the full one it hands deeper texts to), on a thread
// with a small stack, and numbers beyond the double range. The places that
// take received values on are tested end to end in hostile_router_test.
#include "codec/json_reader.hpp"
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
        // An object that grows after a deep member (its storage moves).
        std::string wide = "{\"deep\": " + objects(kMaxJsonDepth - 1);
        for (int i = 0; i < 40; ++i) wide += ", \"m" + std::to_string(i) + "\": " + objects(kMaxJsonDepth - 1);
        EXPECT_NO_THROW(parse_json(wide + "}"));
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

}  // namespace
}  // namespace ossara::testing
