#include "codec/base64.hpp"
#include "codec/json_reader.hpp"
#include "codec/json_writer.hpp"
#include "codec/number_text.hpp"
#include "codec/package.hpp"
#include "codec/percent_encoding.hpp"
#include "codec/plaintext.hpp"
#include "crypto/crypto.hpp"

#include "support/bytes.hpp"
#include "support/package_opener.hpp"
#include "support/test_data.hpp"

#include <ossara/veilrelay/errors.hpp>

#include <openssl/pem.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>

namespace {

using namespace ossara::detail;
using ossara::json;
using Bytes = std::vector<std::uint8_t>;

std::vector<json> read_jsonl(const std::string& name) {
    std::ifstream in(ossara::testing::test_data_dir() / "vectors" / name);
    std::vector<json> rows;
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) rows.push_back(json::parse(line));
    return rows;
}

Bytes bytes_of(std::string_view text) { return Bytes(text.begin(), text.end()); }
// A checked package may point into its body: the texts below outlive their use.
using ossara::testing::bytes_view;
std::string text_of(std::span<const std::uint8_t> bytes) { return std::string(bytes.begin(), bytes.end()); }

Bytes from_hex(const std::string& hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// ---- JSON wire serialisation ------------------------------------------------

TEST(JsonWriter, MatchesEveryReferenceRow) {
    const auto rows = read_jsonl("json-serialisation.jsonl");
    ASSERT_FALSE(rows.empty());
    for (const auto& row : rows) {
        json value;
        if (row.contains("build")) {
            const std::string kind = row["build"]["x"];
            const double x = kind == "nan"   ? std::numeric_limits<double>::quiet_NaN()
                             : kind == "inf" ? std::numeric_limits<double>::infinity()
                                             : -std::numeric_limits<double>::infinity();
            value = json::object({{"x", x}});
        } else {
            value = json::parse(row["input"].get<std::string>());
        }
        EXPECT_EQ(serialise_json(value), row["expected"].get<std::string>()) << row["name"];
        EXPECT_EQ(text_of(serialise_json_bytes(value)), row["expected"].get<std::string>()) << row["name"];
    }
}

TEST(JsonWriter, FloatsLookLikeTheReferenceRepr) {
    const std::vector<std::pair<double, const char*>> cases = {
        {1.0, "1.0"},           {-2.5, "-2.5"},        {1e16, "1e+16"},       {1e15, "1000000000000000.0"},
        {1e-5, "1e-05"},        {1.5e-5, "1.5e-05"},   {0.0001, "0.0001"},    {5e-324, "5e-324"},
        {123e300, "1.23e+302"}, {0.0, "0.0"},          {-0.0, "-0.0"},        {9999999999999998.0, "9999999999999998.0"},
        {0.1 + 0.2, "0.30000000000000004"},
    };
    for (const auto& [value, expected] : cases) EXPECT_EQ(serialise_json(json(value)), expected);
}

// Doubles of every exponent, from random bit patterns: the text carries the
// fewest significant digits that read back exactly (found independently,
// through the C library), and both readers read it back to the same bits.
TEST(JsonWriter, FloatsAreShortestAndReadBackExactly) {
    std::mt19937_64 bits(20250611);
    for (int i = 0; i < 20000; ++i) {
        const double value = std::bit_cast<double>(bits());
        if (!std::isfinite(value)) continue;
        const std::string text = serialise_json(json(value));
        int fewest = 1;
        for (char probe[40]; fewest < 17; ++fewest) {
            std::snprintf(probe, sizeof probe, "%.*e", fewest - 1, value);
            if (std::strtod(probe, nullptr) == value) break;
        }
        std::string digits = text.substr(0, text.find('e'));
        std::erase_if(digits, [](char c) { return c == '-' || c == '.'; });
        digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size()));
        digits.erase(digits.find_last_not_of('0') + 1);
        EXPECT_EQ(static_cast<int>(digits.size()), fewest) << text;
        EXPECT_EQ(std::bit_cast<std::uint64_t>(parse_json(text).get<double>()), std::bit_cast<std::uint64_t>(value))
            << text;
        EXPECT_EQ(std::bit_cast<std::uint64_t>(json::parse(text).get<double>()), std::bit_cast<std::uint64_t>(value))
            << text;
    }
}

TEST(JsonReader, NumbersAtTheEdgesOfTheDoubleRange) {
    const struct {
        const char* text;
        bool in_range;
        double value;
    } rows[] = {
        {"1e308", true, 1e308},         {"1e309", false, 0},         {"-1e999", false, 0},
        {"4.9e-324", true, 5e-324},     {"2.4e-324", false, 0},      {"1e-400", false, 0},
        {"0e-400", true, 0.0},          {"0.000e999", true, 0.0},    {"2.2250738585072011e-308", true, 2.225073858507201e-308},
        {"123456789012345678901234567890", true, 1.2345678901234568e29},
    };
    for (const auto& row : rows) {
        double value = -1;
        const auto end = row.text + std::strlen(row.text);
        const auto [ptr, ec] = read_double(row.text, end, value);
        EXPECT_EQ(ptr, end) << row.text;
        EXPECT_EQ(ec == std::errc(), row.in_range) << row.text;
        EXPECT_EQ(value, row.in_range ? row.value : -1) << row.text;  // untouched when out of range
    }
}

TEST(JsonWriter, EscapesAndNesting) {
    EXPECT_EQ(serialise_json(json("\x7f\x01/")), "\"\\u007f\\u0001/\"");
    EXPECT_EQ(serialise_json(json::array({json::object(), json::array(), json::array({json::array({1})})})),
              "[{}, [], [[1]]]");
    EXPECT_EQ(serialise_json(json(nullptr)), "null");
    // A lone surrogate carried as three bytes is written back as its escape.
    EXPECT_EQ(serialise_json(json("\xED\xA0\x80")), "\"\\ud800\"");
    EXPECT_THROW(serialise_json(json("\xC3")), ossara::ValueError);
    EXPECT_THROW(serialise_json(json("\xC0\xAF")), ossara::ValueError);

    std::string appended = "prefix:";
    append_json(appended, json::object({{"a", 1}}));
    EXPECT_EQ(appended, "prefix:{\"a\": 1}");
}

TEST(JsonWriter, DeepNestingDoesNotExhaustTheStack) {
    json value = json::array();
    for (int i = 0; i < 100000; ++i) value = json::array({std::move(value)});
    const std::string text = serialise_json(value);
    EXPECT_EQ(text.size(), 2u * 100001);
}

TEST(JsonWriter, TenMebibyteStringSerialisesQuickly) {
    // Measured against a tenth of the text on the same machine, in the same
    // build: linear work takes ten times as long, anything quadratic a
    // hundred. The fastest of three runs of each keeps a busy machine's
    // pauses out of the ratio.
    const auto text = [](std::size_t size) {
        std::string big(size, 'a');
        for (std::size_t i = 0; i < big.size(); i += 4096) big[i] = '\n';
        return json::object({{"content", std::move(big)}});
    };
    const auto fastest = [](const json& value, std::size_t expected_size) {
        auto best = std::chrono::steady_clock::duration::max();
        for (int run = 0; run < 3; ++run) {
            const auto start = std::chrono::steady_clock::now();
            const Bytes out = serialise_json_bytes(value);
            best = std::min(best, std::chrono::steady_clock::now() - start);
            EXPECT_EQ(out.size(), expected_size);
        }
        return best;
    };
    const std::size_t frame = std::string("{\"content\": \"\"}").size();
    const auto tenth = fastest(text(1024 * 1024), 1024 * 1024 + 256 + frame);
    const auto whole = fastest(text(10 * 1024 * 1024), 10u * 1024 * 1024 + 2560 + frame);
    EXPECT_LT(whole, 30 * tenth + std::chrono::milliseconds(20));
}

TEST(JsonReader, AcceptsNonFiniteTokensOutsideStringsOnly) {
    const json value = parse_json(R"({"a": NaN, "b": [Infinity, -Infinity, -1], "NaN": "Infinity", "c": {"d": NaN}})");
    EXPECT_TRUE(std::isnan(value["a"].get<double>()));
    EXPECT_EQ(value["b"][0].get<double>(), std::numeric_limits<double>::infinity());
    EXPECT_EQ(value["b"][1].get<double>(), -std::numeric_limits<double>::infinity());
    EXPECT_EQ(value["b"][2], -1);
    EXPECT_EQ(value["NaN"], "Infinity");
    EXPECT_TRUE(std::isnan(value["c"]["d"].get<double>()));
    EXPECT_EQ(serialise_json(value), R"({"a": NaN, "b": [Infinity, -Infinity, -1], "NaN": "Infinity", "c": {"d": NaN}})");

    EXPECT_THROW(parse_json("{NaN: 1}"), json::parse_error);
    EXPECT_THROW(parse_json("[NaNa]"), json::parse_error);
    EXPECT_THROW(parse_json("nan"), json::parse_error);
    EXPECT_EQ(parse_json(R"({"s": "a \" NaN"})")["s"], "a \" NaN");
}

// ---- base64 and percent-encoding -----------------------------------------------

TEST(Base64, LenientDecodingMatchesEveryReferenceRow) {
    for (const auto& row : read_jsonl("base64-lenient.jsonl")) {
        const std::string input = row["input"];
        if (row.contains("error")) {
            EXPECT_THROW(base64_decode_lenient(input), ossara::ValueError) << input;
        } else {
            EXPECT_EQ(base64_decode_lenient(input), from_hex(row["hex"])) << input;
        }
    }
}

// The outcome of decoding `text` fed in the given pieces: the bytes, or the
// error's text prefixed with "error: ".
std::string decode_in_pieces(std::string_view text, const std::vector<std::size_t>& cuts) {
    Base64Decoder decoder;
    Bytes out;
    try {
        std::size_t from = 0;
        for (std::size_t k = 0; k <= cuts.size(); ++k) {
            const std::size_t to = k < cuts.size() ? cuts[k] : text.size();
            const std::size_t at = out.size();
            out.resize(at + Base64Decoder::max_output(to - from));
            out.resize(at + decoder.feed(text.substr(from, to - from), out.data() + at));
            from = to;
        }
        decoder.finish();
    } catch (const ossara::ValueError& e) {
        return std::string("error: ") + e.what();
    }
    return text_of(out);
}

TEST(Base64, DecodingInPiecesMatchesDecodingWhole) {
    std::vector<std::string> inputs;
    for (const auto& row : read_jsonl("base64-lenient.jsonl")) inputs.push_back(row["input"].get<std::string>());
    // Padding, skipped characters and a non-ASCII byte on either side of a cut.
    for (const char* text : {"Zm9vYmFy", "Zm9vYg==", "Zm9vYg=", "Zm9vY", "Zm 9v\nYm\tFy", "Zg==Zm9v", "Zg==\xC3\xA9",
                             "Zm9v\xC3\xA9", "Z=m=9=v", "Zm9=v", "====", "Zm9vYmE=Zg", "Zm9vYmF", "ab=c==",
                             "Zm9vYmFyYmF6cXV4Zm9vYmFyYmF6cXV4Zm9vYmFyYmF6cXV4", "Zm9vYmFyYmF6cXV4Zm9v\nYmFyYmF6cXV4Zg=="})
        inputs.emplace_back(text);
    for (const auto& text : inputs) {
        const std::string whole = decode_in_pieces(text, {});
        // Every single cut, every pair of cuts, and pieces of one to seventeen characters. The
        // pieces are views into the whole text, so reading past a piece's end would be seen.
        for (std::size_t a = 0; a <= text.size(); ++a) {
            EXPECT_EQ(decode_in_pieces(text, {a}), whole) << text << " cut at " << a;
            for (std::size_t b = a; text.size() <= 64 && b <= text.size(); ++b)
                ASSERT_EQ(decode_in_pieces(text, {a, b}), whole) << text << " cut at " << a << ", " << b;
        }
        for (std::size_t piece = 1; piece <= 17; ++piece) {
            std::vector<std::size_t> cuts;
            for (std::size_t at = piece; at < text.size(); at += piece) cuts.push_back(at);
            EXPECT_EQ(decode_in_pieces(text, cuts), whole) << text << " in pieces of " << piece;
        }
    }
    EXPECT_EQ(decode_in_pieces("Zm9vYmFy", {3, 5}), "foobar");
    EXPECT_EQ(decode_in_pieces("Zg==\xC3\xA9", {2}), "f");  // nothing after the padding is read
    EXPECT_EQ(decode_in_pieces("Zm9vY", {4}).rfind("error: ", 0), 0u);
}

TEST(Base64, EncodesWithPaddingAndRoundTrips) {
    EXPECT_EQ(base64_encode(bytes_of("")), "");
    EXPECT_EQ(base64_encode(bytes_of("f")), "Zg==");
    EXPECT_EQ(base64_encode(bytes_of("fo")), "Zm8=");
    EXPECT_EQ(base64_encode(bytes_of("foo")), "Zm9v");
    Bytes all(256);
    for (int i = 0; i < 256; ++i) all[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
    EXPECT_EQ(base64_decode_lenient(base64_encode(all)), all);
    // Data after a completed padding sequence is not read; non-ASCII text is refused.
    EXPECT_EQ(base64_decode_lenient("Zg==Zm9v"), bytes_of("f"));
    EXPECT_THROW(base64_decode_lenient("Zm9v\xC3\xA9"), ossara::ValueError);
}

TEST(PercentEncoding, MatchesEveryReferenceRow) {
    for (const auto& row : read_jsonl("percent-encoding.jsonl"))
        EXPECT_EQ(percent_encode_header(row["input"].get<std::string>()), row["expected"].get<std::string>());
}

// ---- package acceptance -------------------------------------------------------

struct RejectedPackage {
    std::string body;
    std::string message;
};

TEST(CheckPackage, RejectsInOrderWithItsMessage) {
    const std::string payload = R"("encrypted_payload": {"ciphertext": "", "nonce": "", "tag": ""})";
    const std::vector<RejectedPackage> cases = {
        {"", "Empty encrypted response"},
        {"{\"a\": \"\xff\"}", "Invalid encrypted package format: not valid UTF-8"},
        {"\xED\xA0\x80", "Invalid encrypted package format: not valid UTF-8"},
        {"{not json", "Invalid encrypted package format: malformed JSON"},
        {"\xEF\xBB\xBF{}", "Invalid encrypted package format: malformed JSON"},
        // Invalid UTF-8 wins over a syntax error, a byte-order mark, and a long valid prefix.
        {"{\"a\": \"\xff", "Invalid encrypted package format: not valid UTF-8"},
        {"\xEF\xBB\xBF{\"a\": \"\xC3\"}", "Invalid encrypted package format: not valid UTF-8"},
        {"{\"a\": \"" + std::string(200000, 'x') + "\xC3\x28\"}", "Invalid encrypted package format: not valid UTF-8"},
        {"{\"a\": 1, \xC3\xA9}", "Invalid encrypted package format: malformed JSON"},
        {"{}", "Missing required fields in encrypted package: version, algorithm, encrypted_payload, encrypted_aes_key"},
        {R"({"algorithm": "x", "encrypted_payload": {}})",
         "Missing required fields in encrypted package: version, encrypted_aes_key"},
        {R"({"version": "2.0", "algorithm": "x", "encrypted_payload": 1, "encrypted_aes_key": ""})",
         "Unsupported protocol version: '2.0'. Expected: '1.0'"},
        {R"({"version": 1.0, "algorithm": "x", "encrypted_payload": 1, "encrypted_aes_key": ""})",
         "Unsupported protocol version: '1.0'. Expected: '1.0'"},
        {R"({"version": "1.0", "algorithm": "HYBRID-AES256-RSA4096", "encrypted_payload": 1, "encrypted_aes_key": ""})",
         "Unsupported encryption algorithm: 'HYBRID-AES256-RSA4096'. Expected: 'hybrid-aes256-rsa4096'"},
        {R"({"version": "1.0", "algorithm": "hybrid-aes256-rsa4096", "encrypted_payload": [], "encrypted_aes_key": ""})",
         "Invalid encrypted_payload: must be a dictionary"},
        {R"({"version": "1.0", "algorithm": "hybrid-aes256-rsa4096", "encrypted_payload": {"ciphertext": ""}, "encrypted_aes_key": ""})",
         "Missing fields in encrypted_payload: nonce, tag"},
    };
    for (const auto& c : cases) {
        try {
            check_package(bytes_view(c.body));
            ADD_FAILURE() << "accepted: " << c.body;
        } catch (const ossara::ValueError& e) {
            EXPECT_EQ(std::string(e.what()), c.message) << c.body;
        }
    }
    EXPECT_THROW(check_package(bytes_view("{\"version\": 1e400}")), ossara::ValueError);
    EXPECT_THROW(check_package(bytes_view("[1, 2]")), ossara::ValueError);
    EXPECT_THROW(check_package(bytes_view("null")), ossara::ValueError);
}

TEST(CheckPackage, AcceptsExtraMembersAndReadsProcessedAt) {
    const std::string body =
        R"({"version": "1.0", "algorithm": "hybrid-aes256-rsa4096", "extra": 1, "key_algorithm": "other",)"
        R"( "encrypted_payload": {"ciphertext": "YQ==", "nonce": 5, "tag": "dA==", "x": 1}, "encrypted_aes_key": "aw=="})";
    const ReceivedPackage package = check_package(bytes_view(body));
    EXPECT_TRUE(package.processed_at.is_null());
    EXPECT_EQ(package.algorithm, "hybrid-aes256-rsa4096");
    EXPECT_EQ(package.ciphertext_text(), "YQ==");
    EXPECT_EQ(base64_member(*package.encrypted_aes_key), "aw==");
    EXPECT_THROW(base64_member(*package.nonce), ossara::TypeError);

    const std::string with_time = R"({"version": "1.0", "algorithm": "hybrid-aes256-rsa4096", "processed_at": 12.5,)"
                                  R"( "encrypted_payload": {"ciphertext": "", "nonce": "", "tag": ""}, "encrypted_aes_key": ""})";
    EXPECT_EQ(check_package(bytes_view(with_time)).processed_at, json(12.5));
}

TEST(WritePackage, CiphertextFedInPiecesOfAnySizeGivesTheSameText) {
    const Bytes ciphertext = [] {
        Bytes bytes(1000);
        for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 37 + 11);
        return bytes;
    }();
    const Bytes nonce(12, 1), tag(16, 2), key(512, 3);
    const Bytes whole = write_package(ciphertext, nonce, tag, key);
    // Piece sizes that leave one, two or no bytes short of a base64 group,
    // and empty pieces in between.
    for (const std::size_t piece : {1u, 2u, 3u, 4u, 5u, 7u, 64u, 999u}) {
        PackageWriter writer(ciphertext.size());
        for (std::size_t at = 0; at < ciphertext.size(); at += piece) {
            writer.append_ciphertext(std::span(ciphertext).subspan(at, std::min(piece, ciphertext.size() - at)));
            writer.append_ciphertext({});
        }
        writer.end_payload(nonce, tag);
        EXPECT_EQ(std::move(writer).finish(key), whole) << "pieces of " << piece;
    }
    // An empty ciphertext.
    PackageWriter empty(0);
    empty.end_payload(nonce, tag);
    EXPECT_EQ(std::move(empty).finish(key), write_package({}, nonce, tag, key));
}

TEST(WritePackage, HasTheFixedMembersInOrderOnOneAsciiLine) {
    const Bytes text = write_package(bytes_of("abc"), Bytes(12, 1), Bytes(16, 2), Bytes(512, 3));
    const std::string s = text_of(text);
    EXPECT_TRUE(s.starts_with(R"({"version": "1.0", "algorithm": "hybrid-aes256-rsa4096", "encrypted_payload": {"ciphertext": "YWJj", )"));
    EXPECT_EQ(s.find('\n'), std::string::npos);
    EXPECT_TRUE(std::all_of(s.begin(), s.end(), [](char c) { return c >= 0x20 && c < 0x7f; }));
    const json doc = json::parse(s);
    EXPECT_EQ(serialise_json(doc), s);
    std::vector<std::string> keys;
    for (const auto& [k, v] : doc.items()) keys.push_back(k);
    EXPECT_THAT(keys, ::testing::ElementsAre("version", "algorithm", "encrypted_payload", "encrypted_aes_key",
                                             "key_algorithm", "payload_algorithm"));
    EXPECT_EQ(doc["key_algorithm"], "RSA-OAEP-SHA256");
    EXPECT_EQ(doc["payload_algorithm"], "AES-256-GCM");
    EXPECT_EQ(base64_decode_lenient(doc["encrypted_payload"]["nonce"].get<std::string>()).size(), 12u);
    EXPECT_EQ(base64_decode_lenient(doc["encrypted_aes_key"].get<std::string>()).size(), 512u);
}

// ---- plaintext and metadata ----------------------------------------------------

TEST(ParsePlaintext, ReadsUtf8Utf16AndUtf32) {
    const json expected = json::parse(R"({"a": "é😀"})");
    const std::u16string u16 = u"{\"a\": \"é😀\"}";
    const std::u32string u32 = U"{\"a\": \"é😀\"}";
    auto le16 = [&](bool bom) {
        Bytes b;
        if (bom) b = {0xFF, 0xFE};
        for (const char16_t c : u16) { b.push_back(c & 0xFF); b.push_back(c >> 8); }
        return b;
    };
    auto be16 = [&](bool bom) {
        Bytes b;
        if (bom) b = {0xFE, 0xFF};
        for (const char16_t c : u16) { b.push_back(c >> 8); b.push_back(c & 0xFF); }
        return b;
    };
    auto le32 = [&](bool bom) {
        Bytes b;
        if (bom) b = {0xFF, 0xFE, 0, 0};
        for (const char32_t c : u32) for (int k = 0; k < 4; ++k) b.push_back(static_cast<std::uint8_t>(c >> (8 * k)));
        return b;
    };
    auto be32 = [&](bool bom) {
        Bytes b;
        if (bom) b = {0, 0, 0xFE, 0xFF};
        for (const char32_t c : u32) for (int k = 3; k >= 0; --k) b.push_back(static_cast<std::uint8_t>(c >> (8 * k)));
        return b;
    };
    for (const bool bom : {false, true}) {
        EXPECT_EQ(parse_plaintext(le16(bom)), expected) << "utf-16-le bom=" << bom;
        EXPECT_EQ(parse_plaintext(be16(bom)), expected) << "utf-16-be bom=" << bom;
        EXPECT_EQ(parse_plaintext(le32(bom)), expected) << "utf-32-le bom=" << bom;
        EXPECT_EQ(parse_plaintext(be32(bom)), expected) << "utf-32-be bom=" << bom;
    }
    EXPECT_EQ(parse_plaintext(bytes_of("\xEF\xBB\xBF{\"a\": \"\xC3\xA9\xF0\x9F\x98\x80\"}")), expected);
    EXPECT_TRUE(parse_plaintext(bytes_of("null")).is_null());
}

TEST(ParsePlaintext, UndecodableOrNonJsonIsAValueErrorAndNonObjectsATypeError) {
    const std::string prefix = "Decrypted response is not valid JSON: ";
    for (const std::string& bad : std::vector<std::string>{"not json", "", "\xff{}", "\xEF\xBB\xBF\xEF\xBB\xBF{}", std::string("{\0}", 3)}) {
        try {
            parse_plaintext(bytes_of(bad));
            ADD_FAILURE() << "parsed: " << bad;
        } catch (const ossara::ValueError& e) {
            EXPECT_TRUE(std::string(e.what()).starts_with(prefix)) << e.what();
            EXPECT_GT(std::string(e.what()).size(), prefix.size());
        }
    }
    // Invalid UTF-8 is described by the codec, wherever it sits; encoded
    // surrogates are decoded and left to the JSON reader.
    const std::string late = "{\"a\": \"" + std::string(100000, 'x') + "\xff\"}";
    try {
        parse_plaintext(bytes_of(late));
        ADD_FAILURE() << "parsed invalid UTF-8";
    } catch (const ossara::ValueError& e) {
        EXPECT_EQ(std::string(e.what()), prefix + "'utf-8' codec can't decode byte 0xff in position 100007: invalid start byte");
    }
    EXPECT_THROW(parse_plaintext(bytes_of("{\"a\": \"\xED\xA0\x80\"}")), ossara::ValueError);
    EXPECT_THROW(parse_plaintext(bytes_of("[1]")), ossara::TypeError);
    EXPECT_THROW(parse_plaintext(bytes_of("\"text\"")), ossara::TypeError);
    EXPECT_THROW(parse_plaintext(bytes_of("3")), ossara::TypeError);
}

TEST(CompleteMetadata, AddsOrCompletesTheFourMembersInOrder) {
    json answer = json::parse(R"({"id": 1})");
    complete_metadata(answer, "req-1", nullptr, "hybrid-aes256-rsa4096");
    EXPECT_EQ(serialise_json(answer),
              R"({"id": 1, "_metadata": {"payload_id": "req-1", "processed_at": null, "is_encrypted": true, "encryption_algorithm": "hybrid-aes256-rsa4096"}})");

    json existing = json::parse(R"({"_metadata": {"trace": "t", "is_encrypted": false}})");
    complete_metadata(existing, "p", 5, "alg");
    EXPECT_EQ(serialise_json(existing),
              R"({"_metadata": {"trace": "t", "is_encrypted": true, "payload_id": "p", "processed_at": 5, "encryption_algorithm": "alg"}})");

    json not_object = json::array();
    EXPECT_THROW(complete_metadata(not_object, "p", nullptr, "a"), ossara::TypeError);
    json null_answer = nullptr;
    EXPECT_THROW(complete_metadata(null_answer, "p", nullptr, "a"), ossara::TypeError);
    json bad_metadata = json::parse(R"({"_metadata": [1]})");
    EXPECT_THROW(complete_metadata(bad_metadata, "p", nullptr, "a"), ossara::TypeError);
}

// ---- reference packages through the crypto layer and the codec --------------------

class ReferencePackages : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::ifstream in(ossara::testing::test_data_dir() / "vectors" / "packages.json");
        vectors_ = new json(json::parse(in));
    }
    static void TearDownTestSuite() { delete vectors_; }

    static EvpPkeyPtr private_key(const std::string& name) {
        const std::string pem = (*vectors_)[name];
        std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), &BIO_free);
        return EvpPkeyPtr(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    }

    // The reading path of a response: checks, unwrap, decrypt, parse.
    static json open(const std::string& name, const char* key = "client_private_key_pem") {
        const std::string body = (*vectors_)[name];
        const ReceivedPackage package = check_package(bytes_view(body));
        const EvpPkeyPtr client_key = private_key(key);
        const SecretBytes aes_key =
            rsa_oaep_unwrap(client_key.get(), base64_decode_lenient(base64_member(*package.encrypted_aes_key)));
        const Bytes ciphertext = base64_decode_lenient(package.ciphertext_text());
        const Bytes nonce = base64_decode_lenient(base64_member(*package.nonce));
        const Bytes tag = base64_decode_lenient(base64_member(*package.tag));
        const SecretBytes plaintext = aes_gcm_decrypt(aes_key.span(), nonce, ciphertext, tag);
        json answer = parse_plaintext(plaintext.span());
        complete_metadata(answer, "req-7", package.processed_at, package.algorithm);
        return answer;
    }

    static json* vectors_;
};
json* ReferencePackages::vectors_ = nullptr;

TEST_F(ReferencePackages, ResponseDecryptsToTheAnswerWithMetadata) {
    json answer = open("response_package");
    const json metadata = answer["_metadata"];
    answer.erase("_metadata");
    EXPECT_EQ(answer, (*vectors_)["response_answer"]);
    EXPECT_EQ(metadata["payload_id"], "req-7");
    EXPECT_EQ(metadata["processed_at"], (*vectors_)["response_processed_at"]);
    EXPECT_EQ(metadata["is_encrypted"], true);
    EXPECT_EQ(metadata["encryption_algorithm"], "hybrid-aes256-rsa4096");
}

TEST_F(ReferencePackages, TamperedTagFailsAuthentication) {
    EXPECT_THROW(open("response_package_tampered_tag"), AuthenticationFailure);
}

TEST_F(ReferencePackages, LenientBase64AndExtraMembersDecrypt) {
    json answer = open("response_package_lenient");
    EXPECT_TRUE(answer.is_object());
    EXPECT_TRUE(answer.contains("_metadata"));
}

TEST_F(ReferencePackages, ExistingMetadataIsKeptAndCompleted) {
    const json answer = open("response_package_with_metadata");
    EXPECT_GT(answer["_metadata"].size(), 4u);
    EXPECT_EQ(answer["_metadata"]["payload_id"], "req-7");
}

TEST_F(ReferencePackages, BomAndUtf16PlaintextsParse) {
    EXPECT_TRUE(open("response_package_bom_plaintext").is_object());
    EXPECT_TRUE(open("response_package_utf16_plaintext").is_object());
}

TEST_F(ReferencePackages, ArrayPlaintextIsATypeErrorAndNonJsonAValueError) {
    EXPECT_THROW(open("response_package_array_plaintext"), ossara::TypeError);
    try {
        open("response_package_notjson_plaintext");
        FAIL() << "non-JSON plaintext accepted";
    } catch (const ossara::ValueError& e) {
        EXPECT_TRUE(std::string(e.what()).starts_with("Decrypted response is not valid JSON: ")) << e.what();
    }
}

TEST_F(ReferencePackages, ReferenceRequestPackageDecryptsWithTheServerKey) {
    const std::string body = (*vectors_)["request_package_for_server"];
    const ReceivedPackage package = check_package(bytes_view(body));
    const EvpPkeyPtr server_key = private_key("server_private_key_pem");
    const SecretBytes aes_key =
        rsa_oaep_unwrap(server_key.get(), base64_decode_lenient(base64_member(*package.encrypted_aes_key)));
    const SecretBytes plaintext = aes_gcm_decrypt(aes_key.span(), base64_decode_lenient(base64_member(*package.nonce)),
                                                  base64_decode_lenient(package.ciphertext_text()),
                                                  base64_decode_lenient(base64_member(*package.tag)));
    EXPECT_EQ(text_of(plaintext.span()), (*vectors_)["request_payload_serialised"].get<std::string>());
}

TEST_F(ReferencePackages, PackageWeWriteOpensWithTheServerKey) {
    const std::string expected = (*vectors_)["request_payload_serialised"];
    Bytes payload = serialise_json_bytes((*vectors_)["request_payload"]);
    ASSERT_EQ(text_of(payload), expected);

    Bytes aes_key(kAesKeySize);
    Bytes nonce(kGcmNonceSize);
    random_bytes(aes_key);
    random_bytes(nonce);
    Bytes ciphertext(payload.size());
    const auto tag = aes_gcm_encrypt(aes_key, nonce, payload, ciphertext);
    const EvpPkeyPtr server = load_public_key_pem((*vectors_)["server_public_key_pem"].get<std::string>());
    const Bytes wrapped = rsa_oaep_wrap(server.get(), aes_key);
    EXPECT_EQ(wrapped.size(), 512u);
    const std::string package = text_of(write_package(ciphertext, nonce, tag, wrapped));

    EXPECT_EQ(ossara::testing::open_package(package, (*vectors_)["server_private_key_pem"]), expected);
    const json doc = json::parse(package);
    EXPECT_EQ(base64_decode_lenient(doc["encrypted_payload"]["ciphertext"].get<std::string>()).size(), expected.size());
}

}  // namespace
