#pragma once
// The floors the client is measured against, written directly on OpenSSL EVP
// and nlohmann: the same cryptographic work with nothing around it
// (primitives), and the same work done the obvious way with nlohmann's
// writer and parser (naive). Output buffers are allocated per call, as any
// implementation must.
#include <nlohmann/json.hpp>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace ossara::bench::floor {

struct KeyFree {
    void operator()(EVP_PKEY* k) const noexcept { EVP_PKEY_free(k); }
};
struct CtxFree {
    void operator()(EVP_PKEY_CTX* c) const noexcept { EVP_PKEY_CTX_free(c); }
};
struct CipherFree {
    void operator()(EVP_CIPHER_CTX* c) const noexcept { EVP_CIPHER_CTX_free(c); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;

inline void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(what);
}

inline Key public_key(std::string_view pem) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), BIO_free);
    Key key(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
    check(key != nullptr, "PEM public key");
    return key;
}

inline Key private_key(std::string_view pem) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), BIO_free);
    Key key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    check(key != nullptr, "PEM private key");
    return key;
}

inline std::vector<std::uint8_t> rsa_oaep(EVP_PKEY* key, const std::vector<std::uint8_t>& in, bool encrypt) {
    std::unique_ptr<EVP_PKEY_CTX, CtxFree> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    check(ctx && (encrypt ? EVP_PKEY_encrypt_init(ctx.get()) : EVP_PKEY_decrypt_init(ctx.get())) == 1, "rsa init");
    check(EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_OAEP_PADDING) == 1 &&
              EVP_PKEY_CTX_set_rsa_oaep_md(ctx.get(), EVP_sha256()) == 1 &&
              EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), EVP_sha256()) == 1,
          "rsa params");
    std::size_t size = 0;
    auto run = [&](std::uint8_t* out) {
        return encrypt ? EVP_PKEY_encrypt(ctx.get(), out, &size, in.data(), in.size())
                       : EVP_PKEY_decrypt(ctx.get(), out, &size, in.data(), in.size());
    };
    check(run(nullptr) == 1, "rsa size");
    std::vector<std::uint8_t> out(size);
    check(run(out.data()) == 1, "rsa");
    out.resize(size);
    return out;
}

// AES-256-GCM over `in`; encrypt writes the tag, decrypt verifies it.
inline std::vector<std::uint8_t> aes_gcm(const std::vector<std::uint8_t>& key, const std::vector<std::uint8_t>& nonce,
                                         std::string_view in, std::array<std::uint8_t, 16>& tag, bool encrypt) {
    std::unique_ptr<EVP_CIPHER_CTX, CipherFree> ctx(EVP_CIPHER_CTX_new());
    check(EVP_CipherInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.data(), nonce.data(), encrypt ? 1 : 0) == 1,
          "gcm init");
    std::vector<std::uint8_t> out(in.size());
    int n = 0;
    check(EVP_CipherUpdate(ctx.get(), out.data(), &n, reinterpret_cast<const std::uint8_t*>(in.data()),
                           static_cast<int>(in.size())) == 1,
          "gcm update");
    if (!encrypt) check(EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, 16, tag.data()) == 1, "gcm tag");
    int tail = 0;
    check(EVP_CipherFinal_ex(ctx.get(), out.data() + n, &tail) == 1, "gcm final");
    if (encrypt) check(EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, 16, tag.data()) == 1, "gcm get tag");
    return out;
}

inline std::string b64_encode(const std::vector<std::uint8_t>& in) {
    std::string out(4 * ((in.size() + 2) / 3), '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), in.data(), static_cast<int>(in.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

inline std::vector<std::uint8_t> b64_decode(std::string_view in) {
    std::vector<std::uint8_t> out(3 * (in.size() / 4));
    const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(in.data()), static_cast<int>(in.size()));
    check(n >= 0, "base64");
    std::size_t size = static_cast<std::size_t>(n);
    if (in.size() >= 1 && in.back() == '=') --size;  // EVP_DecodeBlock keeps the padding's zero bytes
    if (in.size() >= 2 && in[in.size() - 2] == '=') --size;
    out.resize(size);
    return out;
}

// The keys the floors use: the server's public key (PEM and parsed) and the
// client's private key, as the client holds them.
struct Keys {
    std::string server_public_pem;
    Key server_public;
    Key client_private;
};

// What a response package carries, taken apart once outside the timing.
struct ResponseParts {
    std::string ciphertext_b64;
    std::vector<std::uint8_t> nonce, wrapped_key;
    std::array<std::uint8_t, 16> tag{};
};

// A response package taken apart with nlohmann, once, outside the timing.
inline ResponseParts take_apart(const std::vector<std::uint8_t>& package) {
    const auto doc = nlohmann::json::parse(package);
    ResponseParts parts;
    parts.ciphertext_b64 = doc["encrypted_payload"]["ciphertext"].get<std::string>();
    parts.nonce = b64_decode(doc["encrypted_payload"]["nonce"].get<std::string>());
    const auto tag = b64_decode(doc["encrypted_payload"]["tag"].get<std::string>());
    check(tag.size() == parts.tag.size(), "tag size");
    std::copy(tag.begin(), tag.end(), parts.tag.begin());
    parts.wrapped_key = b64_decode(doc["encrypted_aes_key"].get<std::string>());
    return parts;
}

// Encrypt side of the primitives: AES-GCM over the plaintext, one RSA-OAEP
// wrap, base64 of the ciphertext.
inline std::size_t encrypt_primitives(const Keys& keys, std::string_view plaintext) {
    const std::vector<std::uint8_t> key(32, 7), nonce(12, 9);
    std::array<std::uint8_t, 16> tag{};
    const auto ciphertext = aes_gcm(key, nonce, plaintext, tag, true);
    const auto wrapped = rsa_oaep(keys.server_public.get(), key, true);
    return b64_encode(ciphertext).size() + wrapped.size();
}

// Decrypt side: base64 of the ciphertext, one RSA-OAEP unwrap, AES-GCM with
// tag verification. Returns the plaintext.
inline std::vector<std::uint8_t> decrypt_primitives(const Keys& keys, const ResponseParts& parts) {
    const auto ciphertext = b64_decode(parts.ciphertext_b64);
    const auto key = rsa_oaep(keys.client_private.get(), parts.wrapped_key, false);
    auto tag = parts.tag;
    return aes_gcm(key, parts.nonce, std::string_view(reinterpret_cast<const char*>(ciphertext.data()), ciphertext.size()),
                   tag, false);
}

// The RSA part alone: parse the server's PEM key, wrap, unwrap.
inline std::size_t rsa_and_pem(const Keys& keys, const ResponseParts& parts) {
    const Key server = public_key(keys.server_public_pem);
    const std::vector<std::uint8_t> key(32, 7);
    const auto wrapped = rsa_oaep(server.get(), key, true);
    const auto unwrapped = rsa_oaep(keys.client_private.get(), parts.wrapped_key, false);
    return wrapped.size() + unwrapped.size();
}

}  // namespace ossara::bench::floor
