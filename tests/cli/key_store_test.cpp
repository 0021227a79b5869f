// Where the tool keeps the client key pair, and the key fingerprint.
#include "exit_codes.hpp"
#include "key_fingerprint.hpp"
#include "key_store.hpp"
#include "support/test_data.hpp"

#include <ossara/Veilrelay.hpp>

#include <gtest/gtest.h>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <fstream>

namespace veilrelay_cli {
namespace {

namespace fs = std::filesystem;
using ossara::testing::TempDir;

ossara::json vectors() {
    return ossara::json::parse(ossara::testing::read_text_file(ossara::testing::test_data_dir() / "vectors" / "packages.json"));
}

void write(const fs::path& path, const std::string& text) { ossara::testing::write_file(path, text); }

TEST(KeyStore, DefaultDirectoryFollowsXdgThenHome) {
#if defined(_WIN32)
    EXPECT_EQ(default_key_dir("C:/data", "/home/u"), fs::path("C:/data/veilrelay/keys"));
    // Without a drive a path is not absolute there.
    EXPECT_EQ(default_key_dir("/data", "/home/u"), fs::path("/home/u/.local/share/veilrelay/keys"));
#else
    EXPECT_EQ(default_key_dir("/data", "/home/u"), fs::path("/data/veilrelay/keys"));
#endif
    EXPECT_EQ(default_key_dir("relative/data", "/home/u"), fs::path("/home/u/.local/share/veilrelay/keys"));
    EXPECT_EQ(default_key_dir("", "/home/u"), fs::path("/home/u/.local/share/veilrelay/keys"));
    EXPECT_EQ(default_key_dir(nullptr, "/home/u"), fs::path("/home/u/.local/share/veilrelay/keys"));
    EXPECT_TRUE(default_key_dir(nullptr, nullptr).empty());
    EXPECT_FALSE(has_key_pair(fs::path()));
#if defined(_WIN32)
    // Windows keeps per-user data under LOCALAPPDATA, not in a dot folder of HOME.
    const TempDir local;
    ossara::testing::set_environment("LOCALAPPDATA", local.path().string());
    EXPECT_EQ(default_key_dir(), local.path() / "veilrelay" / "keys");
#endif
}

TEST(KeyStore, NewKeyDirectoryIsOwnerOnlyButAnExistingOneIsLeftAlone) {
#if defined(_WIN32)
    GTEST_SKIP() << "POSIX permission bits; on Windows a directory's access is its ACL";
#endif
    const TempDir dir;
    const fs::path created = dir.path() / "a" / "keys";
    make_key_dir(created);
    EXPECT_EQ(fs::status(created).permissions() & fs::perms::all, fs::perms::owner_all);

    const fs::path existing = dir.path() / "existing";
    fs::create_directory(existing);
    fs::permissions(existing, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
    make_key_dir(existing);
    EXPECT_EQ(fs::status(existing).permissions() & fs::perms::all,
              fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
}

TEST(KeyStore, KeysDirectoryWithAPairIsLoadedAndThePublicKeyDerived) {
    const auto v = vectors();
    const TempDir dir;
    write(private_key_path(dir.path()), v["client_private_key_pem"].get<std::string>());
    // A stale public key file must not be what the client sends.
    write(public_key_path(dir.path()), v["server_public_key_pem"].get<std::string>());

    ossara::Veilrelay client("https://router.invalid", false, false);
    EXPECT_EQ(provide_keys(client, KeyOptions{dir.path(), std::nullopt}, false), KeySource::loaded);
    EXPECT_EQ(client.public_key_pem().value_or(""), v["client_public_key_pem"].get<std::string>());
}

// The vector key re-encoded as password-encrypted PKCS#8.
std::string encrypted_pem(const std::string& pem, const std::string& password) {
    BIO* in = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    EVP_PKEY* key = PEM_read_bio_PrivateKey(in, nullptr, nullptr, nullptr);
    BIO_free(in);
    BIO* out = BIO_new(BIO_s_mem());
    PEM_write_bio_PKCS8PrivateKey(out, key, EVP_aes_256_cbc(), password.c_str(), static_cast<int>(password.size()),
                                  nullptr, nullptr);
    char* data = nullptr;
    const long len = BIO_get_mem_data(out, &data);
    std::string text(data, static_cast<std::size_t>(len));
    BIO_free(out);
    EVP_PKEY_free(key);
    return text;
}

TEST(KeyStore, PasswordFileUnlocksAnEncryptedPrivateKey) {
    const auto v = vectors();
    const TempDir dir;
    const fs::path keys = dir.path() / "keys";
    fs::create_directory(keys);
    write(private_key_path(keys), encrypted_pem(v["client_private_key_pem"].get<std::string>(), "s3cret pass"));
    const fs::path good = dir.path() / "good", wrong = dir.path() / "wrong";
    write(good, "s3cret pass\n");
    write(wrong, "not it\n");

    ossara::Veilrelay client("https://router.invalid", false, false);
    EXPECT_EQ(provide_keys(client, KeyOptions{keys, good}, false), KeySource::loaded);
    EXPECT_EQ(client.public_key_pem().value_or(""), v["client_public_key_pem"].get<std::string>());

    for (const auto& password_file : {std::optional<fs::path>(wrong), std::optional<fs::path>()}) {
        ossara::Veilrelay other("https://router.invalid", false, false);
        try {
            provide_keys(other, KeyOptions{keys, password_file}, false);
            ADD_FAILURE() << "loaded without the right password";
        } catch (const ossara::ValueError& e) {
            EXPECT_TRUE(std::string(e.what()).starts_with("Failed to load private key: ")) << e.what();
        }
    }
}

TEST(KeyFingerprint, IsSha256OfTheDerSubjectPublicKeyInfoWithColons) {
    // Reference value from `openssl pkey -pubin -outform DER | openssl dgst -sha256 -c`.
    EXPECT_EQ(public_key_fingerprint(vectors()["client_public_key_pem"].get<std::string>()),
              "11:b8:f7:03:d3:3f:1d:f2:64:1d:96:9a:a8:42:d8:38:ab:dc:a5:14:74:d4:cc:c1:2a:87:d4:b0:06:8e:e0:0c");
    EXPECT_THROW(public_key_fingerprint("not a key"), InputError);
    EXPECT_THROW(public_key_fingerprint(vectors()["client_private_key_pem"].get<std::string>()), InputError);
    // The tool's text is the library's: the one function the pin check uses.
    EXPECT_EQ(ossara::public_key_fingerprint(vectors()["client_public_key_pem"].get<std::string>()),
              public_key_fingerprint(vectors()["client_public_key_pem"].get<std::string>()));
    EXPECT_THROW(ossara::public_key_fingerprint("not a key"), ossara::ValueError);
}

}  // namespace
}  // namespace veilrelay_cli
