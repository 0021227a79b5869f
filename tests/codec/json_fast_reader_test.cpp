// The single-pass reader must give exactly nlohmann's document (values,
// member order, number types) for every text it accepts, and give up on
// every text nlohmann refuses or reads differently. Borrowing the package's
// ciphertext must follow the last of repeated names, like the document does.
#include "codec/json_fast_reader.hpp"
#include "codec/json_reader.hpp"
#include "support/json_identical.hpp"

#include <ossara/Veilrelay.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace ossara::detail {
namespace {

using ossara::testing::json_identical;

TEST(JsonFastReader, ReadsStandardTextsExactlyAsNlohmann) {
    const char* texts[] = {
        R"({"a": 1, "b": [true, false, null], "c": {"d": "e"}})",
        " \t\r\n[1 , 2\n,3 ]\t",
        R"("plain")",
        R"("\"\\\/\b\f\n\r\t \u0000 \u00e9 \u20AC \ud83d\ude00")",
        "\"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\"",
        R"([0, -0, 7, -7, 18446744073709551615, -9223372036854775808, 9223372036854775807])",
        R"([0.5, -0.0, 1e5, 1E+5, 2.5e-3, 1.7976931348623157e308, 5e-324, 0.1, 123456789012345678901234567890.0])",
        R"({"dup": 1, "x": 2, "dup": {"y": 3}})",
        R"([[], {}, [[{}]], {"": ""}])",
        "{\"long\": \"" "0123456789abcdefghijklmnopqrstuvwxyz0123456789abcdefghijklmnopqrstuvwxyz" "\"}",
    };
    for (const char* text : texts) {
        const auto fast = read_json_fast(text);
        ASSERT_TRUE(fast) << text;
        EXPECT_TRUE(json_identical(*fast, json::parse(text))) << text << "\n" << fast->dump();
    }
    // Every position of an escape or a multi-byte character within the
    // eight-byte scanning window.
    for (std::size_t offset = 0; offset < 17; ++offset) {
        for (const char* special : {"\\n", "\\\"", "\\u00e9", "\xC3\xA9", "\xF0\x9F\x98\x80"}) {
            const std::string text = "\"" + std::string(offset, 'a') + special + std::string(9, 'b') + "\"";
            const auto fast = read_json_fast(text);
            ASSERT_TRUE(fast) << text;
            EXPECT_EQ(*fast, json::parse(text)) << text;
        }
    }
}

TEST(JsonFastReader, ReadsTheNonFiniteTokens) {
    const auto value = read_json_fast(R"({"n": NaN, "i": [Infinity, -Infinity]})");
    ASSERT_TRUE(value);
    EXPECT_TRUE(std::isnan((*value)["n"].get<double>()));
    EXPECT_EQ((*value)["i"][0].get<double>(), INFINITY);
    EXPECT_EQ((*value)["i"][1].get<double>(), -INFINITY);
}

TEST(JsonFastReader, GivesUpWhereNlohmannRefusesOrReadsDifferently) {
    const std::string texts[] = {
        "", " ", "{", "[1,]", "{\"a\" 1}", "{\"a\": 1,}", "[1] 2", "01", "1.", ".5", "+1", "-", "1e", "1e+",
        "tru", "nul", "NaNx", "-NaN", "nan", "{NaN: 1}", "'a'", "\"unterminated", "\"bad \\x escape\"",
        "\"\\u12\"", "\"\\ud800\"", "\"\\udc00\"", "\"\\ud800\\u0041\"", std::string("\"a\x01\""), "\"\xFF\"",
        "\"\xED\xA0\x80\"", "\"\xC0\xAF\"", "\xEF\xBB\xBF{}", "[1e999]", "[-1e999]", "[18446744073709551616]",
        "[-9223372036854775809]", std::string(600, '[') + std::string(600, ']'), std::string("[1]\0", 4),
    };
    for (const auto& text : texts) EXPECT_FALSE(read_json_fast(text)) << text;
}

TEST(JsonFastReader, FullReaderStillSettlesWhatTheFastReaderGivesUpOn) {
    EXPECT_TRUE(parse_json("[18446744073709551616]")[0].is_number_float());
    EXPECT_EQ(parse_json("\xEF\xBB\xBF{}"), json::object());  // nlohmann skips a byte-order mark
    EXPECT_TRUE(parse_json(std::string(600, '[') + std::string(600, ']')).is_array());
    EXPECT_THROW(parse_json("\"\\ud800\""), json::parse_error);
}

TEST(JsonFastReader, BorrowsTheCiphertextOnlyWhereTheLastValueIsAPlainString) {
    struct Case {
        std::string text;
        std::optional<std::string> borrowed;
        json ciphertext;  // what the document holds in its place
    };
    const Case cases[] = {
        {R"({"p": {"c": "QUJD", "n": "x"}})", "QUJD", ""},
        {R"({"p": {"c": "QU\/JD"}})", std::nullopt, "QU/JD"},
        {R"({"p": {"c": "old", "c": 5}})", std::nullopt, 5},
        {R"({"p": {"c": 5, "c": "new"}})", "new", ""},
        {R"({"p": {"c": "old"}, "p": {"n": 1}})", std::nullopt, nullptr},
        {R"({"p": {"c": "old"}, "p": 7})", std::nullopt, nullptr},
        {R"({"x": {"p": {"c": "deep"}}})", std::nullopt, nullptr},
        {R"({"c": "top", "p": [{"c": "in array"}]})", std::nullopt, nullptr},
    };
    for (const auto& c : cases) {
        BorrowedString borrow{"p", "c", std::nullopt};
        const json document = parse_json(c.text, &borrow);
        EXPECT_EQ(borrow.text.has_value(), c.borrowed.has_value()) << c.text;
        if (borrow.text && c.borrowed) {
            EXPECT_EQ(*borrow.text, *c.borrowed) << c.text;
            // A view into the text itself, not a copy.
            EXPECT_GE(borrow.text->data(), c.text.data());
            EXPECT_LE(borrow.text->data() + borrow.text->size(), c.text.data() + c.text.size());
        }
        const json* held = document.contains("p") && document["p"].is_object() && document["p"].contains("c")
                               ? &document["p"]["c"]
                               : nullptr;
        if (c.ciphertext.is_null()) EXPECT_EQ(held, nullptr) << c.text;
        else if (held != nullptr) EXPECT_EQ(*held, c.ciphertext) << c.text;
        else ADD_FAILURE() << "no ciphertext member: " << c.text;
    }
    // Text the fast reader gives up on is read in full and borrows nothing.
    BorrowedString borrow{"p", "c", std::nullopt};
    const json document = parse_json(R"({"p": {"c": "QUJD", "big": 18446744073709551616}})", &borrow);
    EXPECT_FALSE(borrow.text);
    EXPECT_EQ(document["p"]["c"], "QUJD");
}

}  // namespace
}  // namespace ossara::detail
