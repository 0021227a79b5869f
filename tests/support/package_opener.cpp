#include "support/package_opener.hpp"

#include <nlohmann/json.hpp>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <memory>
#include <stdexcept>
#include <vector>

namespace ossara::testing {

namespace {

using Bytes = std::vector<unsigned char>;

template <class T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const noexcept { Free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, Deleter<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>>;
using Bio = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;

void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(what);
}

Bytes unbase64(const std::string& text) {
    Bytes out(3 * (text.size() / 4) + 3);
    const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                  static_cast<int>(text.size()));
    check(n >= 0, "base64");
    std::size_t len = static_cast<std::size_t>(n);
    if (text.size() >= 1 && text.back() == '=') --len;
    if (text.size() >= 2 && text[text.size() - 2] == '=') --len;
    out.resize(len);
    return out;
}

}  // namespace

std::string open_package(const std::string& package_json, const std::string& private_key_pem) {
    const auto package = nlohmann::json::parse(package_json);
    const auto& payload = package.at("encrypted_payload");

    Bio bio(BIO_new_mem_buf(private_key_pem.data(), static_cast<int>(private_key_pem.size())));
    Pkey key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    check(key != nullptr, "private key");

    const Bytes wrapped = unbase64(package.at("encrypted_aes_key").get<std::string>());
    PkeyCtx pctx(EVP_PKEY_CTX_new(key.get(), nullptr));
    check(pctx && EVP_PKEY_decrypt_init(pctx.get()) == 1, "decrypt init");
    check(EVP_PKEY_CTX_set_rsa_padding(pctx.get(), RSA_PKCS1_OAEP_PADDING) == 1, "oaep");
    check(EVP_PKEY_CTX_set_rsa_oaep_md(pctx.get(), EVP_sha256()) == 1, "oaep md");
    check(EVP_PKEY_CTX_set_rsa_mgf1_md(pctx.get(), EVP_sha256()) == 1, "mgf1 md");
    std::size_t key_len = 0;
    check(EVP_PKEY_decrypt(pctx.get(), nullptr, &key_len, wrapped.data(), wrapped.size()) == 1, "unwrap size");
    Bytes aes_key(key_len);
    check(EVP_PKEY_decrypt(pctx.get(), aes_key.data(), &key_len, wrapped.data(), wrapped.size()) == 1, "unwrap");
    aes_key.resize(key_len);
    check(key_len == 32, "AES-256 key");

    const Bytes ciphertext = unbase64(payload.at("ciphertext").get<std::string>());
    const Bytes nonce = unbase64(payload.at("nonce").get<std::string>());
    Bytes tag = unbase64(payload.at("tag").get<std::string>());
    check(nonce.size() == 12 && tag.size() == 16, "nonce/tag size");

    CipherCtx ctx(EVP_CIPHER_CTX_new());
    check(ctx && EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1, "gcm");
    check(EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, 12, nullptr) == 1, "ivlen");
    check(EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, aes_key.data(), nonce.data()) == 1, "key");
    std::string plaintext(ciphertext.size(), '\0');
    int len = 0;
    check(EVP_DecryptUpdate(ctx.get(), reinterpret_cast<unsigned char*>(plaintext.data()), &len, ciphertext.data(),
                            static_cast<int>(ciphertext.size())) == 1,
          "decrypt");
    check(EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, 16, tag.data()) == 1, "tag");
    int final_len = 0;
    check(EVP_DecryptFinal_ex(ctx.get(), reinterpret_cast<unsigned char*>(plaintext.data()) + len, &final_len) == 1,
          "authentication");
    return plaintext;
}

}  // namespace ossara::testing
