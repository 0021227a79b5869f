#include "crypto/crypto.hpp"

#include <ossara/veilrelay/errors.hpp>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>

#include <gtest/gtest.h>

#include <algorithm>
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

}  // namespace
