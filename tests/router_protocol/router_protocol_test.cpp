// The router's side of the protocol against what arrives from the network:
// the package reader (the shape, and nothing built beyond it), the opener's
// refusals, and the percent-decoding of X-Public-Key.
#include <router_protocol/package_crypto.hpp>
#include <router_protocol/package_reader.hpp>
#include <router_protocol/request_headers.hpp>

#include "support/test_data.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <string>

namespace ossara::router_protocol {
namespace {

using nlohmann::json;

const json& vectors() {
    static const json doc = json::parse(testing::read_text_file(testing::test_data_dir() / "vectors/packages.json"));
    return doc;
}

// Packages of an independent writer open (the lenient one writes its line
// breaks as escapes and adds a member); escapes are undone, blanks and
// unknown scalar members anywhere are skipped.
TEST(PackageReader, OpensWhatClientsWriteAndReadsJsonEscapes) {
    const auto server = load_private_key(vectors()["server_private_key_pem"].get<std::string>());
    const auto client = load_private_key(vectors()["client_private_key_pem"].get<std::string>());
    EXPECT_EQ(open_package(vectors()["request_package_for_server"].get<std::string>(), server.get()),
              vectors()["request_payload_serialised"].get<std::string>());
    EXPECT_EQ(json::parse(open_package(vectors()["response_package_lenient"].get<std::string>(), client.get())),
              vectors()["response_answer"]);
    const PackageMembers members = read_package(
        R"( {"encrypted_payload" : {"tag":"dA==","x":0,"nonce":"bg\u003d\u003d"} , "n": -1.5e+3, "t": true, "z": null,)"
        R"( "s": "\ud83d\ude00\"\\", "algorithm": "x\/y\u00e9", "ciphertext": "not the payload's"} )");
    EXPECT_EQ(members.get(PackageMember::algorithm), "x/y\xc3\xa9");
    EXPECT_EQ(members.get(PackageMember::nonce), "bg==");
    EXPECT_EQ(members.get(PackageMember::tag), "dA==");
    EXPECT_EQ(members.get(PackageMember::ciphertext), std::nullopt);
    EXPECT_EQ(members.get(PackageMember::version), std::nullopt);
}

// Whatever leaves the shape is refused where it starts, with the router's
// message; members the format requires are checked by the opener.
TEST(PackageReader, RefusesWhatLeavesTheShape) {
    const auto key = load_private_key(vectors()["server_private_key_pem"].get<std::string>());
    const std::string payload = R"("encrypted_payload": {"ciphertext": "AA==", "nonce": "AA==", "tag": "AA=="})";
    const std::string good_head = R"({"version": "1.0", "algorithm": "hybrid-aes256-rsa4096", )";
    const struct {
        std::string body;
        const char* message;
    } rows[] = {
        {"", "body is not JSON"},
        {"not a package", "body is not JSON"},
        {"{\"version\": \"1.0\"", "body is not JSON"},
        {"{\"version\": \"1.0\"} x", "body is not JSON"},
        {"{\"version\": \"\xc3\x28\"}", "body is not JSON"},         // broken UTF-8
        {"{\"version\": \"\xed\xa0\x80\"}", "body is not JSON"},      // an encoded surrogate
        {R"({"version": "\ud800"})", "body is not JSON"},            // a lone surrogate escape
        {R"({"v": 01})", "body is not JSON"},
        {"[]", "package is not a JSON object"},
        {std::string(100000, '['), "package is not a JSON object"},
        {"\"text\"", "package is not a JSON object"},
        {R"({"a": {"b": 1}})", "package nests deeper than its format"},
        {R"({"a": [1]})", "package nests deeper than its format"},
        {R"({"encrypted_payload": {"ciphertext": {}}})", "member ciphertext is not a string"},
        {R"({"encrypted_payload": []})", "encrypted_payload is not an object"},
        {R"({"encrypted_payload": {}, "encrypted_payload": {}})", "duplicate member encrypted_payload"},
        {R"({"version": "1.0", "version": "1.0"})", "duplicate member version"},
        {R"({"version": 1.0})", "member version is not a string"},
        {"{\"version\": \"" + std::string(65, '1') + "\"}", "version is too long"},
        {"{\"" + std::string(65, 'n') + "\": 1}", "a member name is too long"},
        {R"({"a": 1,})", "body is not JSON"},
        {"{" + [] { std::string s; for (int i = 0; i < 17; ++i) s += "\"a\": 0,"; return s; }() + "\"b\": 0}",
         "package has too many members"},
        {"{}", "missing member version"},
        {R"({"version": "2.0"})", "unsupported version"},
        {R"({"version": "1.0", "algorithm": "rsa"})", "unsupported algorithm"},
        {good_head + "\"encrypted_aes_key\": \"AA==\"}", "missing member encrypted_payload"},
        {good_head + payload + "}", "missing member encrypted_aes_key"},
        {good_head + payload + ", \"encrypted_aes_key\": \"AA==\"}", "RSA-OAEP unwrap failed"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.body.substr(0, 120));
        try {
            open_package(row.body, key.get());
            ADD_FAILURE() << "opened";
        } catch (const PackageError& e) {
            EXPECT_STREQ(e.what(), row.message);
        }
    }
}

// The client's encoding of its key, undone; a malformed escape is refused
// with PackageError (the router's 400), never read past the end.
TEST(PercentDecode, UndoesTheClientsEncodingAndRefusesMalformedEscapes) {
    std::ifstream rows(testing::test_data_dir() / "vectors/percent-encoding.jsonl");
    int vectors_read = 0;
    for (std::string line; std::getline(rows, line); ++vectors_read) {
        const json row = json::parse(line);
        EXPECT_EQ(percent_decode(row["expected"].get<std::string>()), row["input"].get<std::string>());
    }
    EXPECT_GT(vectors_read, 0);
    const std::pair<std::string, std::string> decoded[] = {
        {"", ""}, {"%41%2f%2F", "A//"}, {"a%00b", std::string("a\0b", 3)}, {"%ff%C3%A9", "\xff\xc3\xa9"}, {"100%25", "100%"},
    };
    for (const auto& [text, expected] : decoded) EXPECT_EQ(percent_decode(text), expected) << text;
    for (const char* malformed : {"%", "%4", "ab%", "ab%4", "%zz", "%4g", "%g4", "%%41", "%-1", "% 41", "%+1"})
        EXPECT_THROW(percent_decode(malformed), PackageError) << malformed;
}

}  // namespace
}  // namespace ossara::router_protocol
