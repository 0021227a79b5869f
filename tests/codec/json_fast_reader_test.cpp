// The single-pass reader must give exactly nlohmann's document (values,
// member order, number types) for every text it accepts, and give up on
// every text nlohmann refuses or reads differently. Borrowing the package's
// ciphertext must follow the last of repeated names, like the document does.
#include "codec/json_fast_reader.hpp"
#include "codec/json_reader.hpp"
#include "codec/json_writer.hpp"
#include "codec/package.hpp"
#include "codec/plaintext.hpp"
#include "support/bytes.hpp"
#include "support/json_identical.hpp"

#include <ossara/Veilrelay.hpp>

#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
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

TEST(JsonFastReader, ReadsNumbersBeyondTheDoubleRangeAsInfinity) {
    const auto value = read_json_fast("[1e999, -1e999]");
    ASSERT_TRUE(value);
    EXPECT_EQ((*value)[0].get<double>(), INFINITY);
    EXPECT_EQ((*value)[1].get<double>(), -INFINITY);
}

TEST(JsonFastReader, GivesUpWhereNlohmannRefusesOrReadsDifferently) {
    const std::string texts[] = {
        "", " ", "{", "[1,]", "{\"a\" 1}", "{\"a\": 1,}", "[1] 2", "01", "1.", ".5", "+1", "-", "1e", "1e+",
        "tru", "nul", "NaNx", "-NaN", "nan", "{NaN: 1}", "'a'", "\"unterminated", "\"bad \\x escape\"",
        "\"\\u12\"", "\"\\ud800\\u12\"", std::string("\"a\x01\""), "\"\xFF\"",
        "\"\xED\xA0\x80\"", "\"\xC0\xAF\"", "\xEF\xBB\xBF{}", "[1e-999]", "[18446744073709551616]",
        "[-9223372036854775809]", std::string(600, '[') + std::string(600, ']'), std::string("[1]\0", 4),
    };
    for (const auto& text : texts) EXPECT_FALSE(read_json_fast(text)) << text;
}

TEST(JsonFastReader, FullReaderStillSettlesWhatTheFastReaderGivesUpOn) {
    EXPECT_TRUE(parse_json("[18446744073709551616]")[0].is_number_float());
    EXPECT_EQ(parse_json("\xEF\xBB\xBF{}"), json::object());  // nlohmann skips a byte-order mark
    EXPECT_TRUE(parse_json(std::string(600, '[') + std::string(600, ']')).is_array());
}

// Lone surrogates are valid JSON escapes (our writer emits them for a lone
// surrogate it is given) and read as the code unit in three bytes (WTF-8),
// the same in both readers, in values and in names, and written back alike.
TEST(JsonReaders, ReadLoneSurrogatesAsTheirCodeUnitAndWriteThemBack) {
    struct Case {
        std::string text;
        std::string value;
    };
    const Case cases[] = {
        {R"("\ud800")", "\xED\xA0\x80"},
        {R"("\udc00")", "\xED\xB0\x80"},
        {R"("abc\ud83d")", "abc\xED\xA0\xBD"},
        {R"("\ud800\u0041")", "\xED\xA0\x80" "A"},
        {R"("\ude00\ud83d")", "\xED\xB8\x80\xED\xA0\xBD"},                 // low before high: two lone units
        {R"("\ud800\ud83d\ude00")", "\xED\xA0\x80\xF0\x9F\x98\x80"},      // a lone high, then a pair
        {R"("\ud83d\ude00\udfff")", "\xF0\x9F\x98\x80\xED\xBF\xBF"},      // a pair, then a lone low
        {R"("\\ud800")", "\\ud800"},                                            // an escaped backslash: no escape
        {R"("x\uDBFF\n")", "x\xED\xAF\xBF\n"},
    };
    for (const auto& c : cases) {
        for (const std::string& text : {c.text, "[" + c.text + "]", "{" + c.text + ": " + c.text + "}",
                                        "[NaN, " + c.text + ", 18446744073709551616]"}) {
            const json fast = parse_json(text);
            const json full = parse_json_full(text);
            EXPECT_TRUE(json_identical(fast, full)) << text;
            const json& value = fast.is_string() ? fast : fast.is_array() ? fast[fast.size() > 1 ? 1 : 0] : fast.front();
            EXPECT_EQ(value.get<std::string>(), c.value) << text;
            if (fast.is_object()) {
                EXPECT_EQ(fast.begin().key(), c.value) << text;
            }
            EXPECT_TRUE(json_identical(parse_json(serialise_json(fast)), fast)) << text;
        }
    }
    // Deeper than the single-pass reader goes: the full reader alone.
    const std::string deep = std::string(100, '[') + R"("\udbff")" + std::string(100, ']');
    const json document = parse_json(deep);
    const json* inner = &document;
    while (inner->is_array()) inner = &inner->front();
    EXPECT_EQ(inner->get<std::string>(), "\xED\xAF\xBF");
}

// The two readers the client receives with: the package and the answer.
TEST(JsonReaders, PackagesAndAnswersWithLoneSurrogatesAreRead) {
    const std::string package =
        R"({"version": "1.0", "algorithm": "hybrid-aes256-rsa4096", "processed_at": "\ud800",)"
        R"( "encrypted_payload": {"ciphertext": "YQ==", "nonce": "", "tag": ""}, "encrypted_aes_key": ""})";
    EXPECT_EQ(check_package(ossara::testing::bytes_view(package)).processed_at, json("\xED\xA0\x80"));
    EXPECT_EQ(parse_plaintext(ossara::testing::bytes_view(R"({"content": "abc\ud83d"})"))["content"],
              json("abc\xED\xA0\xBD"));
}

// Python's json module on random strings with lone surrogates: its text
// (ensure_ascii, as our writer) reads here as the string it decodes to, in
// its surrogatepass UTF-8 form, and our writer gives its text back.
TEST(JsonReaders, AgreeWithPythonsJsonModuleOnLoneSurrogates) {
    if (std::system("python3 -c '' >/dev/null 2>&1") != 0) GTEST_SKIP() << "python3 is not available";
    const std::filesystem::path script = std::filesystem::temp_directory_path() /
                                         ("surrogates_" + std::to_string(::getpid()) + ".py");
    std::ofstream(script) << R"(import json, random
rng = random.Random(20)
pools = [(0x20, 0x7e), (0x00, 0x1f), (0x80, 0x7ff), (0x800, 0xd7ff), (0xd800, 0xdbff), (0xdc00, 0xdfff),
         (0xe000, 0xffff), (0x10000, 0x10ffff)]
for _ in range(600):
    chars = []
    for _ in range(rng.randint(0, 12)):
        lo, hi = rng.choice(pools)
        chars.append(chr(rng.randint(lo, hi)))
    text = json.dumps("".join(chars))
    print(text, json.loads(text).encode("utf-8", "surrogatepass").hex())
)";
    const std::string command = "timeout 60 python3 " + script.string();
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    ASSERT_TRUE(pipe);
    std::string output;
    char chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe.get())) > 0;) output.append(chunk, n);
    ASSERT_EQ(pclose(pipe.release()), 0);
    std::filesystem::remove(script);

    std::istringstream lines(output);
    std::size_t checked = 0;
    for (std::string line; std::getline(lines, line); ++checked) {
        const auto space = line.rfind(' ');
        const std::string text = line.substr(0, space);
        std::string expected;
        for (std::size_t i = space + 1; i + 1 < line.size(); i += 2)
            expected += static_cast<char>(std::stoi(line.substr(i, 2), nullptr, 16));
        EXPECT_EQ(parse_json(text), json(expected)) << text;
        EXPECT_EQ(parse_json_full(text), json(expected)) << text;
        EXPECT_EQ(serialise_json(parse_json(text)), text);
    }
    EXPECT_EQ(checked, 600u);
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
