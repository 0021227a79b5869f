// The word-at-a-time fast paths of the codec must agree with the plain
// byte-by-byte reading everywhere a fast path can start, stop or hand over:
// every offset inside an 8-byte word, every escape class, and the JSON texts
// the single-pass reader leaves to nlohmann.
#include "codec/base64.hpp"
#include "codec/base64_blocks.hpp"
#include "codec/json_reader.hpp"
#include "codec/json_writer.hpp"
#include "codec/utf8.hpp"
#include "core/cpu_features.hpp"

#include <ossara/Veilrelay.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

namespace ossara::detail {
namespace {

// The escaping rules written out one character at a time (ASCII input).
std::string reference_escape(const std::string& s) {
    std::string out = "\"";
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    char escape[8];
                    std::snprintf(escape, sizeof escape, "\\u%04x", c);
                    out += escape;
                } else {
                    out += ch;
                }
        }
    }
    out += '"';
    return out;
}

// Concatenation without std::string's operator+ (g++ 12 -O3 misreports it, -Wrestrict).
template <typename... Parts>
std::string cat(const Parts&... parts) {
    std::string out;
    (out.append(parts), ...);
    return out;
}

#if defined(__x86_64__) && defined(__linux__)
// The library asks the processor itself; the compiler's run-time check (not
// on every platform) must agree wherever it exists.
TEST(CpuFeatures, Avx2AgreesWithTheCompilersOwnCheck) {
    __builtin_cpu_init();
    EXPECT_EQ(cpu_has_avx2(), __builtin_cpu_supports("avx2") != 0);
}
#endif

TEST(SerialiserFastPath, EveryAsciiCharacterAtEveryOffsetOfAWord) {
    for (int c = 0; c < 0x80; ++c) {
        for (std::size_t offset = 0; offset < 17; ++offset) {
            std::string s(24, 'a');  // one word before, two after the character
            s[offset] = static_cast<char>(c);
            ASSERT_EQ(serialise_json(json(s)), reference_escape(s)) << "character " << c << " at " << offset;
        }
    }
}

TEST(SerialiserFastPath, EveryByteAtEveryOffsetOfALongRunReadsBack) {
    // Long enough for the 32-byte scan, with the character in the first or
    // second block or in the tail behind them.
    for (int c = 0; c < 0x80; ++c) {
        for (std::size_t offset = 0; offset < 100; ++offset) {
            std::string s(100, 'a');
            s[offset] = static_cast<char>(c);
            const std::string text = serialise_json(json(s));
            ASSERT_EQ(text, reference_escape(s)) << "character " << c << " at " << offset;
            ASSERT_EQ(parse_json(text), json(s)) << "character " << c << " at " << offset;
        }
    }
    for (std::size_t offset = 0; offset < 99; ++offset) {
        std::string s(100, 'b');
        s.replace(offset, 2, "\xC3\xA9");
        ASSERT_EQ(parse_json(serialise_json(json(s))), json(s)) << "e-acute at " << offset;
    }
}

TEST(SerialiserFastPath, NonAsciiAtEveryOffsetOfAWord) {
    for (std::size_t offset = 0; offset < 17; ++offset) {
        const std::string s = cat(std::string(offset, 'x'), "\xC3\xA9", std::string(20, 'y'), "\xF0\x9F\x98\x80");
        EXPECT_EQ(serialise_json(json(s)),
                  cat("\"", std::string(offset, 'x'), "\\u00e9", std::string(20, 'y'), "\\ud83d\\ude00\""));
    }
}

// The text is sized before it is written, escapes included, so the buffer
// is allocated once and never regrown (a copy into fresh pages and a wipe
// of the old ones): what is reserved is the text, give or take a separator
// and the room allowed for each number.
TEST(SerialiserFastPath, LongTextOfAnyEscapesIsWrittenIntoOneReservation) {
    const char* pieces[] = {"line\n\"quoted\"\t", "plain words ", "\xD0\x9F\xD1\x80\xD0\xB8",
                            "\xE4\xBD\xA0\xE5\xA5\xBD", "\xF0\x9F\x98\x80", "\x01\x7F\\"};
    const std::string ascii(5000, 'a');
    EXPECT_EQ(serialise_json(json{{"content", ascii + "\n\"q\"\t"}}),
              cat("{\"content\": ", reference_escape(ascii + "\n\"q\"\t"), "}"));
    for (const char* piece : pieces) {
        std::string text;
        for (int i = 0; i < 5000; ++i) text += (i % 7 == 0) ? "line\n\"quoted\"\t" : piece;
        const json payload = {{"content", text}, {"n", 1.5}, {"list", json::array({1, "two", nullptr})}};
        EXPECT_EQ(parse_json(serialise_json(payload)), payload) << piece;
        const auto bytes = serialise_json_bytes(payload);
        EXPECT_EQ(std::string(bytes.begin(), bytes.end()), serialise_json(payload));
        EXPECT_LE(bytes.capacity() - bytes.size(), 128u) << piece;  // numbers are bounded at 24 characters
    }
}

TEST(Base64FastPath, JunkAtEveryPositionIsIgnored) {
    for (std::size_t length = 0; length < 20; ++length) {
        std::vector<std::uint8_t> bytes(length);
        for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(i * 37 + 11);
        const std::string text = base64_encode(bytes);
        for (std::size_t at = 0; at <= text.size(); ++at) {
            std::string noisy = text;
            noisy.insert(at, "\n *");
            ASSERT_EQ(base64_decode_lenient(noisy), bytes) << "length " << length << ", junk at " << at;
        }
    }
}

TEST(Base64FastPath, PaddingAndErrorsBehindWholeGroups) {
    EXPECT_EQ(base64_decode_lenient("QUJDREVGR0g="), (std::vector<std::uint8_t>{'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'}));
    // Padding completes a group and ends the data; what follows is ignored.
    EXPECT_EQ(base64_decode_lenient("QUJDRA==QUJD"), (std::vector<std::uint8_t>{'A', 'B', 'C', 'D'}));
    EXPECT_THROW(base64_decode_lenient("QUJDREVGR"), ValueError);    // one character over whole groups
    EXPECT_THROW(base64_decode_lenient("QUJDREVGRw"), ValueError);   // padding missing
    EXPECT_THROW(base64_decode_lenient("QUJD\xC3\xA9RA=="), ValueError);  // not ASCII
}

// Inputs shorter than a block never reach the 32-character and 24-byte
// blocks, so feeding 16 characters or encoding 3 bytes at a time is the
// plain code, the reference for the blocks.
std::string decode_plainly(const std::string& text) {
    std::vector<std::uint8_t> out(Base64Decoder::max_output(text.size()));
    Base64Decoder decoder;
    std::size_t n = 0;
    try {
        for (std::size_t at = 0; at < text.size(); at += 16)
            n += decoder.feed(std::string_view(text).substr(at, 16), out.data() + n);
        decoder.finish();
    } catch (const ValueError& e) {
        return cat("error: ", e.what());
    }
    return std::string(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n));
}

std::string decode_whole(const std::string& text) {
    try {
        const auto bytes = base64_decode_lenient(text);
        return std::string(bytes.begin(), bytes.end());
    } catch (const ValueError& e) {
        return cat("error: ", e.what());
    }
}

std::vector<std::uint8_t> random_bytes_of(std::size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> bytes(size);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
    return bytes;
}

TEST(Base64Blocks, EncodingMatchesThePlainEncoderAtEveryLength) {
    for (std::size_t size = 0; size < 200; ++size) {
        const auto bytes = random_bytes_of(size, static_cast<unsigned>(size));
        std::string plain;
        for (std::size_t at = 0; at < size; at += 3)
            base64_encode_append(plain, std::span<const std::uint8_t>(bytes).subspan(at, std::min<std::size_t>(3, size - at)));
        ASSERT_EQ(base64_encode(bytes), plain) << "length " << size;
    }
    const auto large = random_bytes_of(48 * 1024 + 7, 1);
    EXPECT_EQ(base64_decode_lenient(base64_encode(large)), large);
}

TEST(Base64Blocks, EveryByteAtEveryPlaceOfTwoBlocksDecodesAsThePlainDecoderDoes) {
    const std::string text = base64_encode(random_bytes_of(150, 7));  // 200 characters, no padding
    for (int c = 0; c < 256; ++c) {
        for (std::size_t at = 0; at < 72; ++at) {
            std::string noisy = text;
            noisy[at] = static_cast<char>(c);
            ASSERT_EQ(decode_whole(noisy), decode_plainly(noisy)) << "byte " << c << " at " << at;
        }
    }
}

TEST(Base64Blocks, BlocksStopAtTheFirstBlockWithAnythingButAlphabet) {
    const std::string text = base64_encode(random_bytes_of(72, 3));  // 96 characters
    std::vector<std::uint8_t> out(72);
    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    if (base64_blocks::decode(in, text.size(), out.data()) == 0) GTEST_SKIP() << "the processor has no AVX2";
    EXPECT_EQ(base64_blocks::decode(in, text.size(), out.data()), 96u);
    EXPECT_EQ(out, random_bytes_of(72, 3));
    std::string noisy = text;
    noisy[40] = '=';
    EXPECT_EQ(base64_blocks::decode(reinterpret_cast<const unsigned char*>(noisy.data()), noisy.size(), out.data()), 32u);
    EXPECT_EQ(base64_blocks::decode(in, 31, out.data()), 0u);  // never reads past the end
    std::string encoded(32, '\0');
    EXPECT_EQ(base64_blocks::encode(random_bytes_of(27, 3).data(), 27, encoded.data()), 0u);
    EXPECT_EQ(base64_blocks::encode(random_bytes_of(28, 3).data(), 28, encoded.data()), 24u);
}

TEST(Utf8FastPath, ErrorsAreFoundAtEveryOffsetOfAWord) {
    for (std::size_t offset = 0; offset < 17; ++offset) {
        const std::string valid = cat(std::string(offset, 'a'), "\xE2\x82\xAC", std::string(9, 'b'));
        EXPECT_FALSE(utf8_error(valid)) << offset;
        const std::string invalid = cat(std::string(offset, 'a'), "\xFF", std::string(9, 'b'));
        const auto error = utf8_error(invalid);
        ASSERT_TRUE(error) << offset;
        EXPECT_NE(error->find(cat("in position ", std::to_string(offset), ":")), std::string::npos) << *error;
    }
}

TEST(JsonReaderFastPath, ReadsValuesWithTheTypesNlohmannGivesThem) {
    const std::string text =
        R"({"u": 5, "i": -5, "big": 18446744073709551615, "f": 1.5, "e": 1e-7, "s": "\u00e9\n", "b": true,)"
        R"( "n": null, "a": [1, [2, {}]], "dup": 1, "dup": 2})";
    const json fast = parse_json(text);
    const json reference = json::parse(text);
    EXPECT_EQ(fast, reference);
    EXPECT_EQ(fast.dump(), reference.dump());  // same member order, same number forms
    for (const char* member : {"u", "i", "big", "f", "e"})
        EXPECT_EQ(fast[member].type(), reference[member].type()) << member;
}

TEST(JsonReaderFastPath, TextsTheFastPathLeavesToTheFullReader) {
    // -0 and -0.0 keep nlohmann's reading.
    EXPECT_TRUE(parse_json("[-0]")[0].is_number_integer());
    EXPECT_TRUE(std::signbit(parse_json("[-0.0]")[0].get<double>()));
    // An integer beyond 64 bits becomes a float, as with nlohmann.
    EXPECT_TRUE(parse_json("[123456789012345678901234567890]")[0].is_number_float());
    // The non-finite tokens.
    EXPECT_TRUE(std::isnan(parse_json(R"({"x": NaN})")["x"].get<double>()));
    EXPECT_EQ(parse_json(R"([-Infinity])")[0].get<double>(), -INFINITY);
    // Nesting deeper than the single-pass reader goes (within the bound of all readers).
    const std::string deep = cat(std::string(900, '['), std::string(900, ']'));
    EXPECT_TRUE(parse_json(deep).is_array());
    // Invalid text is a parse error; a number too large for a double is infinite.
    EXPECT_THROW(parse_json("{\"a\": }"), json::parse_error);
    EXPECT_EQ(parse_json("[1e999]")[0].get<double>(), INFINITY);
    EXPECT_THROW(parse_json("888888e8888888ilu"), json::parse_error);
}

}  // namespace
}  // namespace ossara::detail
