// Response decryption of the published packages, through the client.
#include <ossara/Veilrelay.hpp>

#include "crypto/crypto.hpp"
#include "support/log_capture.hpp"
#include "support/response_sealer.hpp"
#include "support/run_awaitable.hpp"
#include "support/test_data.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>

namespace ossara::testing {
namespace {

const json& vectors() {
    static const json doc = json::parse(read_text_file(test_data_dir() / "vectors/packages.json"));
    return doc;
}

std::vector<std::uint8_t> bytes_of(const std::string& text) { return {text.begin(), text.end()}; }
std::vector<std::uint8_t> package(const char* name) { return bytes_of(vectors()[name].get<std::string>()); }

// A response package for the test client key holding `plaintext`; `edit`
// may change its members before it is written.
std::vector<std::uint8_t> make_package(const std::string& plaintext, const std::function<void(json&)>& edit = {}) {
    std::vector<std::uint8_t> key(detail::kAesKeySize);
    detail::random_bytes(key);
    json package = seal_response({reinterpret_cast<const std::uint8_t*>(plaintext.data()), plaintext.size()}, key,
                                 vectors()["client_public_key_pem"].get<std::string>());
    if (edit) edit(package);
    return bytes_of(package.dump());
}

// An answer whose text is several of the pieces the ciphertext is decrypted in.
json long_answer() {
    std::string content;
    while (content.size() < 300000) content += "line with \"quotes\", caf\u00e9 and \U0001F600\n";
    return json{{"id", "long"}, {"choices", json::array({json{{"message", {{"content", content}}}}})}};
}

class DecryptResponseTest : public ::testing::TestWithParam<bool> {
protected:
    static void SetUpTestSuite() {
        dir_ = std::make_unique<TempDir>();
        std::ofstream(dir_->path() / "client.pem") << vectors()["client_private_key_pem"].get<std::string>();
    }
    static void TearDownTestSuite() { dir_.reset(); }

    Veilrelay client(bool with_key = true) const {
        Veilrelay c("https://router.test", false, GetParam());
        if (with_key) c.load_keys((dir_->path() / "client.pem").string());
        return c;
    }
    json decrypt(Veilrelay& c, std::vector<std::uint8_t> body, std::string id = "id-7") const {
        return run_awaitable(c.decrypt_response(std::move(body), std::move(id)));
    }

    static std::unique_ptr<TempDir> dir_;
};
std::unique_ptr<TempDir> DecryptResponseTest::dir_;

TEST_P(DecryptResponseTest, PublishedPackageDecryptsToTheAnswerWithMetadata) {
    Veilrelay c = client();
    LogCapture log("ossara.Veilrelay");
    const json answer = decrypt(c, package("response_package"), "id-7");
    json expected = vectors()["response_answer"];
    expected["_metadata"] = json{{"payload_id", "id-7"},
                                 {"processed_at", vectors()["response_processed_at"]},
                                 {"is_encrypted", true},
                                 {"encryption_algorithm", "hybrid-aes256-rsa4096"}};
    EXPECT_EQ(answer, expected);
    EXPECT_EQ(answer.dump(), expected.dump());  // member order too
    const auto debug = log.lines_at(spdlog::level::debug);
    ASSERT_GE(debug.size(), 2u);
    EXPECT_EQ(debug[debug.size() - 2], "Response decrypted successfully");
    EXPECT_EQ(debug.back().rfind("Response size: ", 0), 0u);
    EXPECT_EQ(log.contains("Secure memory not available, using standard decryption"), !c.use_secure_memory());
}

TEST_P(DecryptResponseTest, LenientAndEncodedVariantsDecrypt) {
    Veilrelay c = client();
    EXPECT_EQ(decrypt(c, package("response_package_lenient"))["_metadata"]["processed_at"], nullptr);
    const json with_metadata = decrypt(c, package("response_package_with_metadata"));
    EXPECT_GT(with_metadata["_metadata"].size(), 4u);  // existing members kept
    EXPECT_EQ(with_metadata["_metadata"]["payload_id"], "id-7");
    EXPECT_TRUE(decrypt(c, package("response_package_bom_plaintext")).is_object());
    EXPECT_TRUE(decrypt(c, package("response_package_utf16_plaintext")).is_object());
}

TEST_P(DecryptResponseTest, AuthenticationAndShapeFailuresAreSecurityErrors) {
    Veilrelay c = client();
    for (const char* name : {"response_package_tampered_tag", "response_package_array_plaintext"}) {
        SCOPED_TRACE(name);
        const auto error = expect_exact_throw<SecurityError>([&] { decrypt(c, package(name)); });
        EXPECT_STREQ(error.what(), "Decryption failed: integrity check or authentication failed");
    }
    const auto error = expect_exact_throw<ValueError>([&] { decrypt(c, package("response_package_notjson_plaintext")); });
    EXPECT_EQ(std::string(error.what()).rfind("Decrypted response is not valid JSON: ", 0), 0u) << error.what();
}

TEST_P(DecryptResponseTest, PackageChecksComeBeforeThePrivateKeyCheck) {
    Veilrelay keyless = client(/*with_key=*/false);
    const auto bad = expect_exact_throw<ValueError>([&] { decrypt(keyless, bytes_of("{}")); });
    EXPECT_STREQ(bad.what(),
                 "Missing required fields in encrypted package: version, algorithm, encrypted_payload, "
                 "encrypted_aes_key");
    const auto no_key = expect_exact_throw<SecurityError>([&] { decrypt(keyless, package("response_package")); });
    EXPECT_STREQ(no_key.what(), "Private key not initialized. Call generate_keys() or load_keys() first.");
}

TEST_P(DecryptResponseTest, ValueErrorsOfTheKeyAndPayloadMembersPassUnchanged) {
    Veilrelay c = client();
    json doc = json::parse(vectors()["response_package"].get<std::string>());
    doc["encrypted_aes_key"] = "QUJD";  // decodes, but is no OAEP block for this key
    EXPECT_THROW(decrypt(c, bytes_of(doc.dump())), ValueError);

    doc = json::parse(vectors()["response_package"].get<std::string>());
    doc["encrypted_payload"]["tag"] = "AAAA";  // a 3-byte tag
    EXPECT_THROW(decrypt(c, bytes_of(doc.dump())), ValueError);

    doc = json::parse(vectors()["response_package"].get<std::string>());
    doc["encrypted_payload"]["nonce"] = 12;  // not a string: unexpected, so a SecurityError
    EXPECT_THROW(decrypt(c, bytes_of(doc.dump())), SecurityError);
}

TEST_P(DecryptResponseTest, LongAnswerDecryptsWhetherItsCiphertextIsPlainOrEscapedText) {
    Veilrelay c = client();
    const json expected = long_answer();
    const std::string plaintext = expected.dump();
    // The ciphertext's text as written, and broken into escaped lines (read
    // through the document, the line breaks skipped by the lenient decoder).
    const json plain = decrypt(c, make_package(plaintext));
    const json lines = decrypt(c, make_package(plaintext, [](json& p) {
        const std::string text = p["encrypted_payload"]["ciphertext"].get<std::string>();
        std::string lines;
        for (std::size_t at = 0; at < text.size(); at += 76) lines.append(text, at, 76).push_back('\n');
        p["encrypted_payload"]["ciphertext"] = lines;
    }));
    for (const json* answer : {&plain, &lines}) {
        EXPECT_EQ((*answer)["choices"], expected["choices"]);
        EXPECT_EQ((*answer)["_metadata"]["payload_id"], "id-7");
    }
}

TEST_P(DecryptResponseTest, FaultsOfTheCiphertextTextComeBeforeThoseOfNonceTagAndCipher) {
    Veilrelay c = client();
    // Whole base64 groups (trailing blanks are JSON), so nothing ends the text early.
    std::string plaintext = long_answer().dump();
    plaintext.append((3 - plaintext.size() % 3) % 3, ' ');
    auto ciphertext_plus = [](std::size_t at, const char* extra) {
        return [at, extra](json& p) {
            const std::string text = p["encrypted_payload"]["ciphertext"].get<std::string>();
            const std::size_t cut = std::min(at, text.size());
            std::string edited;
            edited.append(text, 0, cut).append(extra).append(text, cut);
            p["encrypted_payload"]["ciphertext"] = edited;
        };
    };
    // An incomplete last group, with a nonce that is not a string (on its own a SecurityError).
    const auto padding = expect_exact_throw<ValueError>([&] {
        decrypt(c, make_package(plaintext, [&](json& p) {
                    ciphertext_plus(std::string::npos, "A")(p);
                    p["encrypted_payload"]["nonce"] = 12;
                }));
    });
    EXPECT_TRUE(std::string(padding.what()).starts_with("Invalid base64-encoded string")) << padding.what();
    // A character outside ASCII deep inside the text, with a 3-byte tag.
    const auto ascii = expect_exact_throw<ValueError>([&] {
        decrypt(c, make_package(plaintext, [&](json& p) {
                    ciphertext_plus(200001, "\u00e9")(p);
                    p["encrypted_payload"]["tag"] = "AAAA";
                }));
    });
    EXPECT_STREQ(ascii.what(), "string argument should contain only ASCII characters");
    // With a sound ciphertext text the other members' faults are reported.
    const auto tag = expect_exact_throw<ValueError>(
        [&] { decrypt(c, make_package(plaintext, [](json& p) { p["encrypted_payload"]["tag"] = "AAAA"; })); });
    EXPECT_STREQ(tag.what(), "Authentication tag must be 16 bytes, got 3");
    EXPECT_THROW(decrypt(c, make_package(plaintext, [](json& p) { p["encrypted_payload"]["nonce"] = 12; })),
                 SecurityError);
    // One flipped bit in the last piece fails authentication.
    const auto flipped = expect_exact_throw<SecurityError>([&] {
        decrypt(c, make_package(plaintext, [](json& p) {
                    std::string text = p["encrypted_payload"]["ciphertext"].get<std::string>();
                    char& last = text[text.size() - 8];
                    last = last == 'A' ? 'B' : 'A';
                    p["encrypted_payload"]["ciphertext"] = text;
                }));
    });
    EXPECT_STREQ(flipped.what(), "Decryption failed: integrity check or authentication failed");
}

INSTANTIATE_TEST_SUITE_P(Memory, DecryptResponseTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "secure" : "standard"; });

}  // namespace
}  // namespace ossara::testing
