#include "crypto/crypto.hpp"

#include <ossara/veilrelay/errors.hpp>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/encoder.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <gtest/gtest.h>

#if !defined(_WIN32)
#include "support/subprocess.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace ossara::detail;
using Bytes = std::vector<std::uint8_t>;

Bytes random_vector(std::size_t n) {
    Bytes out(n);
    random_bytes(out);
    return out;
}

EvpPkeyPtr ec_key() {
    return EvpPkeyPtr(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
}

TEST(RandomBytes, FillsFreshBytesEachTime) {
    const Bytes a = random_vector(32);
    const Bytes b = random_vector(32);
    EXPECT_NE(a, b);
    EXPECT_NE(a, Bytes(32, 0));
    EXPECT_NO_THROW(random_bytes({}));
}

TEST(AesGcm, RoundTripsForEveryAesKeySize) {
    for (const std::size_t key_size : {16u, 24u, 32u}) {
        const Bytes key = random_vector(key_size);
        const Bytes nonce = random_vector(kGcmNonceSize);
        const Bytes plaintext = random_vector(1000);
        Bytes ciphertext(plaintext.size());
        const auto tag = aes_gcm_encrypt(key, nonce, plaintext, ciphertext);
        EXPECT_NE(ciphertext, plaintext);
        const SecretBytes back = aes_gcm_decrypt(key, nonce, ciphertext, tag);
        EXPECT_TRUE(std::equal(back.span().begin(), back.span().end(), plaintext.begin(), plaintext.end()))
            << "key size " << key_size;
    }
}

TEST(AesGcm, EncryptsInPlaceAndHandlesEmptyPlaintext) {
    const Bytes key = random_vector(32);
    const Bytes nonce = random_vector(12);
    const Bytes original = random_vector(100);
    Bytes buffer = original;
    const auto tag = aes_gcm_encrypt(key, nonce, buffer, buffer);
    EXPECT_EQ(aes_gcm_decrypt(key, nonce, buffer, tag).size(), original.size());
    const SecretBytes in_place = aes_gcm_decrypt(key, nonce, buffer, tag);
    EXPECT_TRUE(std::equal(in_place.span().begin(), in_place.span().end(), original.begin()));

    const auto empty_tag = aes_gcm_encrypt(key, nonce, {}, {});
    EXPECT_TRUE(aes_gcm_decrypt(key, nonce, {}, empty_tag).empty());
}

TEST(AesGcm, EncryptingInPiecesGivesTheOneShotCiphertextAndTag) {
    const Bytes key = random_vector(32);
    const Bytes nonce = random_vector(12);
    const Bytes plaintext = random_vector(1000);
    Bytes whole(plaintext.size());
    const auto whole_tag = aes_gcm_encrypt(key, nonce, plaintext, whole);
    for (const std::size_t piece : {1u, 15u, 16u, 17u, 333u}) {
        AesGcmEncryptor encryptor(key, nonce);
        Bytes pieces(plaintext.size());
        for (std::size_t at = 0; at < plaintext.size(); at += piece) {
            const std::size_t n = std::min(piece, plaintext.size() - at);
            encryptor.update(std::span(plaintext).subspan(at, n), pieces.data() + at);
        }
        EXPECT_EQ(pieces, whole) << "pieces of " << piece;
        EXPECT_EQ(encryptor.finish(), whole_tag) << "pieces of " << piece;
    }
    EXPECT_THROW(AesGcmEncryptor(random_vector(20), nonce), ossara::ValueError);
}

TEST(AesGcm, RejectedInputsAreValueErrorsAndABadTagIsNot) {
    const Bytes key = random_vector(32);
    const Bytes nonce = random_vector(12);
    const Bytes plaintext = random_vector(64);
    Bytes ciphertext(plaintext.size());
    auto tag = aes_gcm_encrypt(key, nonce, plaintext, ciphertext);

    EXPECT_THROW(aes_gcm_decrypt(random_vector(31), nonce, ciphertext, tag), ossara::ValueError);
    EXPECT_THROW(aes_gcm_decrypt(key, {}, ciphertext, tag), ossara::ValueError);
    EXPECT_THROW(aes_gcm_decrypt(key, nonce, ciphertext, std::span(tag).first(15)), ossara::ValueError);
    EXPECT_THROW(aes_gcm_encrypt(random_vector(20), nonce, plaintext, ciphertext), ossara::ValueError);

    tag[0] ^= 0x01;
    try {
        aes_gcm_decrypt(key, nonce, ciphertext, tag);
        FAIL() << "a flipped tag bit must not verify";
    } catch (const ossara::ValueError&) {
        FAIL() << "a tag that does not verify must not be a ValueError";
    } catch (const AuthenticationFailure&) {
    }
    tag[0] ^= 0x01;
    ciphertext[5] ^= 0x80;
    EXPECT_THROW(aes_gcm_decrypt(key, nonce, ciphertext, tag), AuthenticationFailure);
}

class RsaOaep : public ::testing::Test {
protected:
    // 2048 bits keep the suite fast; the operations do not depend on the size.
    static void SetUpTestSuite() { key_ = generate_rsa_key(2048).release(); }
    static void TearDownTestSuite() { EVP_PKEY_free(key_); }
    static EVP_PKEY* key_;
};
EVP_PKEY* RsaOaep::key_ = nullptr;

TEST_F(RsaOaep, GeneratedKeyHasExponent65537AndTheRequestedSize) {
    EXPECT_EQ(EVP_PKEY_get_bits(key_), 2048);
    BIGNUM* e = nullptr;
    ASSERT_EQ(EVP_PKEY_get_bn_param(key_, OSSL_PKEY_PARAM_RSA_E, &e), 1);
    EXPECT_EQ(BN_get_word(e), 65537u);
    BN_free(e);
}

TEST_F(RsaOaep, WrapsThroughThePublicPemAndUnwrapsWithThePrivateKey) {
    const std::string pem = public_key_pem(key_);
    EXPECT_TRUE(pem.starts_with("-----BEGIN PUBLIC KEY-----\n"));
    EXPECT_TRUE(pem.ends_with("-----END PUBLIC KEY-----\n"));
    const EvpPkeyPtr server = load_public_key_pem(pem);
    const Bytes aes_key = random_vector(kAesKeySize);
    const Bytes wrapped = rsa_oaep_wrap(server.get(), aes_key);
    EXPECT_EQ(wrapped.size(), 256u);
    EXPECT_NE(wrapped, rsa_oaep_wrap(server.get(), aes_key)) << "OAEP is randomised";
    const SecretBytes unwrapped = rsa_oaep_unwrap(key_, wrapped);
    EXPECT_TRUE(std::equal(unwrapped.span().begin(), unwrapped.span().end(), aes_key.begin(), aes_key.end()));
}

TEST_F(RsaOaep, FailedUnwrapIsAValueErrorAndNonRsaKeysAreNot) {
    const Bytes wrapped = rsa_oaep_wrap(key_, random_vector(32));
    const EvpPkeyPtr other = generate_rsa_key(2048);
    EXPECT_THROW(rsa_oaep_unwrap(other.get(), wrapped), ossara::ValueError);
    EXPECT_THROW(rsa_oaep_unwrap(key_, std::span(wrapped).first(100)), ossara::ValueError);

    const EvpPkeyPtr ec = ec_key();
    ASSERT_TRUE(ec);
    auto is_value_error = [](auto&& call) {
        try {
            call();
        } catch (const ossara::ValueError&) {
            return true;
        } catch (const std::exception&) {
            return false;
        }
        return true;
    };
    EXPECT_FALSE(is_value_error([&] { rsa_oaep_wrap(ec.get(), random_vector(32)); }));
    EXPECT_FALSE(is_value_error([&] { rsa_oaep_unwrap(ec.get(), wrapped); }));
}

TEST(PublicKeyPem, AcceptsAnyAlgorithmAndRejectsGarbage) {
    const EvpPkeyPtr ec = ec_key();
    const std::string ec_pem = public_key_pem(ec.get());
    EXPECT_TRUE(load_public_key_pem(ec_pem));
    EXPECT_THROW(load_public_key_pem("not a key"), ossara::ValueError);
    EXPECT_THROW(load_public_key_pem(""), ossara::ValueError);
    EXPECT_THROW(load_public_key_pem("-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n"), ossara::ValueError);
}

// OpenSSL's general reader of public keys, which decides what is a key.
EvpPkeyPtr general_reader(const std::string& pem) {
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    EvpPkeyPtr key(PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr));
    BIO_free(bio);
    return key;
}

// `key` in another encoding of OpenSSL's (e.g. "PEM" + "type-specific" for PKCS#1).
std::string encoded(EVP_PKEY* key, const char* format, const char* structure, int selection) {
    OSSL_ENCODER_CTX* ctx = OSSL_ENCODER_CTX_new_for_pkey(key, selection, format, structure, nullptr);
    unsigned char* data = nullptr;
    std::size_t size = 0;
    const bool ok = ctx != nullptr && OSSL_ENCODER_to_data(ctx, &data, &size) == 1;
    OSSL_ENCODER_CTX_free(ctx);
    std::string text = ok ? std::string(reinterpret_cast<char*>(data), size) : std::string();
    OPENSSL_free(data);
    return text;
}

// A "PUBLIC KEY" block around arbitrary bytes.
std::string public_key_block(const Bytes& der) {
    std::string body(4 * ((der.size() + 2) / 3) + 1, '\0');
    body.resize(static_cast<std::size_t>(
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(body.data()), der.data(), static_cast<int>(der.size()))));
    std::string pem = "-----BEGIN PUBLIC KEY-----\n";
    for (std::size_t at = 0; at < body.size(); at += 64) pem += body.substr(at, 64) + "\n";
    return pem + "-----END PUBLIC KEY-----\n";
}

Bytes der_of(EVP_PKEY* key) {
    unsigned char* der = nullptr;
    const int size = i2d_PUBKEY(key, &der);
    Bytes out(der, der + std::max(size, 0));
    OPENSSL_free(der);
    return out;
}

TEST_F(RsaOaep, PublicKeyTextsAreAcceptedExactlyAsOpenSslsGeneralReaderAcceptsThem) {
    const EvpPkeyPtr ec = ec_key();
    const std::string rsa_pem = public_key_pem(key_);
    Bytes trailing = der_of(key_);
    trailing.push_back(0);
    Bytes truncated = der_of(key_);
    truncated.pop_back();
    const std::vector<std::string> texts = {
        rsa_pem,
        public_key_pem(ec.get()),
        "leading text\n" + rsa_pem + "trailing text\n",
        "-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n" + rsa_pem,
        rsa_pem + public_key_pem(ec.get()),
        encoded(key_, "PEM", "type-specific", EVP_PKEY_PUBLIC_KEY),  // PKCS#1 "RSA PUBLIC KEY"
        encoded(key_, "PEM", "PrivateKeyInfo", EVP_PKEY_KEYPAIR),
        public_key_block(trailing),
        public_key_block(truncated),
        public_key_block({}),
        "-----BEGIN PUBLIC KEY-----\n" + rsa_pem.substr(27, 100) + "\n-----END PUBLIC KEY-----\n",
        "",
    };
    for (std::size_t i = 0; i < texts.size(); ++i) {
        SCOPED_TRACE("text " + std::to_string(i));
        const EvpPkeyPtr expected = general_reader(texts[i]);
        if (!expected) {
            EXPECT_THROW(load_public_key_pem(texts[i]), ossara::ValueError);
            continue;
        }
        const EvpPkeyPtr key = load_public_key_pem(texts[i]);
        ASSERT_TRUE(key);
        EXPECT_EQ(EVP_PKEY_eq(key.get(), expected.get()), 1);
    }
}

// A "PUBLIC KEY" block that claims to be encrypted, as a router could send it.
const std::string kEncryptedLookingKey =
    "-----BEGIN PUBLIC KEY-----\nProc-Type: 4,ENCRYPTED\nDEK-Info: AES-128-CBC,00000000000000000000000000000000\n\n"
    "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA\n-----END PUBLIC KEY-----\n";

#if !defined(_WIN32)  // a pseudo-terminal and a forked child
TEST(PublicKeyPem, AnEncryptedLookingKeyIsRefusedWithoutAskingTheTerminalForAPassword) {
    // In a child whose controlling terminal is a fresh pseudo-terminal, where
    // OpenSSL's default password prompt would wait for an answer.
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string slave_name = ptsname(master);
    const auto code = ossara::testing::run_in_child(
        [&] {
            setsid();
            const int slave = open(slave_name.c_str(), O_RDWR);  // becomes the controlling terminal
            if (slave < 0) return 3;
            try {
                (void)load_public_key_pem(kEncryptedLookingKey);
            } catch (const ossara::ValueError&) {
                return 0;
            } catch (...) {
            }
            return 2;
        },
        std::chrono::seconds(5));
    if (!code) {
        ADD_FAILURE() << "the key reader waited at a password prompt";
    } else {
        EXPECT_EQ(*code, 0);
    }
    close(master);
}
#endif

TEST(AesGcm, DecryptingInPiecesInPlaceGivesThePlaintext) {
    const Bytes key = random_vector(32), nonce = random_vector(12), plaintext = random_vector(1000);
    Bytes ciphertext(plaintext.size());
    const auto tag = aes_gcm_encrypt(key, nonce, plaintext, ciphertext);
    for (const std::size_t piece : {1u, 15u, 16u, 17u, 999u}) {
        Bytes buffer = ciphertext;
        AesGcmDecryptor decryptor(key, nonce, tag);
        for (std::size_t at = 0; at < buffer.size(); at += piece) {
            const std::size_t n = std::min(piece, buffer.size() - at);
            decryptor.update(std::span<const std::uint8_t>(buffer.data() + at, n), buffer.data() + at);
        }
        EXPECT_NO_THROW(decryptor.finish()) << "pieces of " << piece;
        EXPECT_EQ(buffer, plaintext) << "pieces of " << piece;
    }
    // The constructor checks the tag's length before the key's.
    try {
        AesGcmDecryptor bad(random_vector(31), nonce, std::span(tag).first(15));
        FAIL() << "accepted a 15-byte tag and a 31-byte key";
    } catch (const ossara::ValueError& e) {
        EXPECT_STREQ(e.what(), "Authentication tag must be 16 bytes, got 15");
    }
    Bytes buffer = ciphertext;
    buffer.back() ^= 1;
    AesGcmDecryptor decryptor(key, nonce, tag);
    decryptor.update(buffer, buffer.data());
    EXPECT_THROW(decryptor.finish(), AuthenticationFailure);
}

}  // namespace
