// Response decryption of the published packages, through the client.
#include <ossara/Veilrelay.hpp>

#include "support/log_capture.hpp"
#include "support/run_awaitable.hpp"
#include "support/test_data.hpp"

#include <gtest/gtest.h>

#include <fstream>

namespace ossara::testing {
namespace {

const json& vectors() {
    static const json doc = json::parse(read_text_file(test_data_dir() / "vectors/packages.json"));
    return doc;
}

std::vector<std::uint8_t> bytes_of(const std::string& text) { return {text.begin(), text.end()}; }
std::vector<std::uint8_t> package(const char* name) { return bytes_of(vectors()[name].get<std::string>()); }

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

INSTANTIATE_TEST_SUITE_P(Memory, DecryptResponseTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "secure" : "standard"; });

}  // namespace
}  // namespace ossara::testing
