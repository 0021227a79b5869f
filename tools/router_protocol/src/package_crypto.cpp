#include "router_protocol/package_crypto.hpp"

#include "router_protocol/package_reader.hpp"

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace ossara::router_protocol {

namespace {

struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* ctx) const noexcept { EVP_PKEY_CTX_free(ctx); }
};
struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* ctx) const noexcept { EVP_CIPHER_CTX_free(ctx); }
};
struct BioFree {
    void operator()(BIO* bio) const noexcept { BIO_free(bio); }
};
struct EncodeCtxFree {
    void operator()(EVP_ENCODE_CTX* ctx) const noexcept { EVP_ENCODE_CTX_free(ctx); }
};
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;
using Bio = std::unique_ptr<BIO, BioFree>;

constexpr std::size_t kKeySize = 32;
constexpr std::size_t kNonceSize = 12;
constexpr std::size_t kTagSize = 16;

const unsigned char* bytes(std::string_view s) { return reinterpret_cast<const unsigned char*>(s.data()); }
unsigned char* bytes(std::string& s) { return reinterpret_cast<unsigned char*>(s.data()); }

Bio memory_bio(std::string_view text) {
    Bio bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    if (!bio) throw std::runtime_error("BIO_new_mem_buf failed");
    return bio;
}

PkeyCtx oaep_context(EVP_PKEY* key, bool encrypt) {
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    if (!ctx) throw PackageError("cannot use the RSA key");
    const int init = encrypt ? EVP_PKEY_encrypt_init(ctx.get()) : EVP_PKEY_decrypt_init(ctx.get());
    if (init <= 0 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_OAEP_PADDING) <= 0 ||
        EVP_PKEY_CTX_set_rsa_oaep_md(ctx.get(), EVP_sha256()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), EVP_sha256()) <= 0)
        throw PackageError("the key is not an RSA key");
    return ctx;
}

std::string rsa_oaep(EVP_PKEY* key, std::string_view in, bool encrypt) {
    const PkeyCtx ctx = oaep_context(key, encrypt);
    std::size_t out_len = 0;
    const auto run = [&](unsigned char* out) {
        return encrypt ? EVP_PKEY_encrypt(ctx.get(), out, &out_len, bytes(in), in.size())
                       : EVP_PKEY_decrypt(ctx.get(), out, &out_len, bytes(in), in.size());
    };
    if (run(nullptr) <= 0) throw PackageError("RSA-OAEP failed");
    std::string out(out_len, '\0');
    if (run(bytes(out)) <= 0) throw PackageError(encrypt ? "RSA-OAEP wrap failed" : "RSA-OAEP unwrap failed");
    out.resize(out_len);
    return out;
}

void secure_clear(std::string& s) {
    if (!s.empty()) OPENSSL_cleanse(s.data(), s.size());
    s.clear();
}

}  // namespace

EvpKey generate_rsa_key(unsigned bits) {
    EvpKey key(EVP_RSA_gen(bits));
    if (!key) throw std::runtime_error("RSA key generation failed");
    return key;
}

EvpKey load_private_key(std::string_view pem) {
    const Bio bio = memory_bio(pem);
    // No password callback: an encrypted key fails here instead of prompting on a terminal.
    pem_password_cb* const no_password = [](char*, int, int, void*) { return 0; };
    EvpKey key(PEM_read_bio_PrivateKey(bio.get(), nullptr, no_password, nullptr));
    if (!key) throw PackageError("cannot read the private key PEM");
    return key;
}

EvpKey load_public_key(std::string_view pem) {
    const Bio bio = memory_bio(pem);
    EvpKey key(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
    if (!key) throw PackageError("cannot read the public key PEM");
    return key;
}

std::string public_key_pem(EVP_PKEY* key) {
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PUBKEY(bio.get(), key) != 1) throw std::runtime_error("PEM_write_bio_PUBKEY failed");
    char* data = nullptr;
    const long len = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(len));
}

std::string base64_encode(std::string_view in) {
    std::string out(4 * ((in.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(bytes(out), bytes(in), static_cast<int>(in.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::string base64_decode(std::string_view text) {
    // The EVP decoder skips whitespace and validates padding, unlike EVP_DecodeBlock.
    std::unique_ptr<EVP_ENCODE_CTX, EncodeCtxFree> ctx(EVP_ENCODE_CTX_new());
    if (!ctx) throw std::runtime_error("EVP_ENCODE_CTX_new failed");
    EVP_DecodeInit(ctx.get());
    std::string out(text.size() / 4 * 3 + 3, '\0');
    int n = 0;
    int tail = 0;
    if (EVP_DecodeUpdate(ctx.get(), bytes(out), &n, bytes(text), static_cast<int>(text.size())) < 0 ||
        EVP_DecodeFinal(ctx.get(), bytes(out) + n, &tail) < 0)
        throw PackageError("invalid base64");
    out.resize(static_cast<std::size_t>(n + tail));
    return out;
}

namespace {

// The decoded pieces of the encrypted payload.
struct Sealed {
    std::string ciphertext, nonce, tag;
};

// Unwraps the content key with `private_key` and decrypts the payload, whose
// pieces are decoded (into `sealed`, once) only after a key was unwrapped.
// The unwrapped key is wiped on every path out.
std::string open_with_key(const std::string& wrapped_key, const PackageMembers& package,
                          std::optional<Sealed>& decoded, EVP_PKEY* private_key) {
    std::string key = rsa_oaep(private_key, wrapped_key, false);
    struct Wipe {
        std::string& text;
        ~Wipe() { secure_clear(text); }
    } wipe_key{key};
    if (!decoded)
        decoded = Sealed{base64_decode(package.require(PackageMember::ciphertext)),
                         base64_decode(package.require(PackageMember::nonce)),
                         base64_decode(package.require(PackageMember::tag))};
    const Sealed& sealed = *decoded;
    if (key.size() != kKeySize || sealed.nonce.empty() || sealed.tag.size() != kTagSize)
        throw PackageError("wrong key, nonce or tag length");

    CipherCtx ctx(EVP_CIPHER_CTX_new());
    std::string plaintext(sealed.ciphertext.size(), '\0');
    std::string tag = sealed.tag;
    int len = 0;
    int final_len = 0;
    const bool ok =
        ctx && EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(sealed.nonce.size()), nullptr) == 1 &&
        EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, bytes(key), bytes(sealed.nonce)) == 1 &&
        EVP_DecryptUpdate(ctx.get(), bytes(plaintext), &len, bytes(sealed.ciphertext),
                          static_cast<int>(sealed.ciphertext.size())) == 1 &&
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(tag.size()), tag.data()) == 1 &&
        EVP_DecryptFinal_ex(ctx.get(), bytes(plaintext) + len, &final_len) == 1;
    if (!ok) {
        secure_clear(plaintext);
        throw PackageError("authentication failed");
    }
    plaintext.resize(static_cast<std::size_t>(len + final_len));
    return plaintext;
}

}  // namespace

std::string open_package(std::string_view body, EVP_PKEY* private_key) {
    EVP_PKEY* const keys[] = {private_key};
    return open_package(body, keys);
}

std::string open_package(std::string_view body, std::span<EVP_PKEY* const> private_keys) {
    // Read without building a document: a hostile body costs no more than itself.
    const PackageMembers package = read_package(body);
    if (package.require(PackageMember::version) != "1.0") throw PackageError("unsupported version");
    if (package.require(PackageMember::algorithm) != "hybrid-aes256-rsa4096")
        throw PackageError("unsupported algorithm");
    if (!package.has_encrypted_payload()) throw PackageError("missing member encrypted_payload");
    const std::string wrapped_key = base64_decode(package.require(PackageMember::encrypted_aes_key));
    for (const PackageMember member : {PackageMember::ciphertext, PackageMember::nonce, PackageMember::tag})
        package.require(member);
    std::optional<Sealed> sealed;

    // RSA-OAEP refuses a key wrapped for another key pair, and should an
    // unwrap pass by chance, the GCM tag fails: trying each key is safe.
    std::optional<PackageError> first_failure;
    for (EVP_PKEY* const key : private_keys) {
        try {
            return open_with_key(wrapped_key, package, sealed, key);
        } catch (const PackageError& e) {
            if (!first_failure) first_failure = e;
        }
    }
    if (first_failure) throw *first_failure;
    throw PackageError("no key to open the package with");
}

SealedBytes aes_gcm_seal(std::string_view key, std::string_view nonce, std::string_view aad,
                         std::string_view plaintext) {
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    SealedBytes out{std::string(plaintext.size(), '\0'), std::string(kTagSize, '\0')};
    int len = 0;
    int final_len = 0;
    int aad_len = 0;
    const bool ok =
        key.size() == kKeySize && ctx &&
        EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(nonce.size()), nullptr) == 1 &&
        EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, bytes(key), bytes(nonce)) == 1 &&
        (aad.empty() || EVP_EncryptUpdate(ctx.get(), nullptr, &aad_len, bytes(aad), static_cast<int>(aad.size())) == 1) &&
        EVP_EncryptUpdate(ctx.get(), bytes(out.ciphertext), &len, bytes(plaintext), static_cast<int>(plaintext.size())) == 1 &&
        EVP_EncryptFinal_ex(ctx.get(), bytes(out.ciphertext) + len, &final_len) == 1 &&
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(out.tag.size()), out.tag.data()) == 1;
    if (!ok) throw std::runtime_error("AES-GCM encryption failed");
    return out;
}

std::string wrap_key(std::string_view key, EVP_PKEY* recipient) { return rsa_oaep(recipient, key, true); }

std::string random_bytes(std::size_t size) {
    std::string out(size, '\0');
    if (RAND_bytes(bytes(out), static_cast<int>(out.size())) != 1) throw std::runtime_error("RAND_bytes failed");
    return out;
}

nlohmann::ordered_json seal_package(std::string_view plaintext, EVP_PKEY* recipient) {
    std::string key = random_bytes(kKeySize);
    const std::string nonce = random_bytes(kNonceSize);
    SealedBytes sealed;
    std::string wrapped;
    try {
        sealed = aes_gcm_seal(key, nonce, {}, plaintext);
        wrapped = wrap_key(key, recipient);
    } catch (...) {
        secure_clear(key);
        throw;
    }
    secure_clear(key);

    nlohmann::ordered_json package;
    package["version"] = "1.0";
    package["algorithm"] = "hybrid-aes256-rsa4096";
    package["encrypted_payload"] = {{"ciphertext", base64_encode(sealed.ciphertext)},
                                    {"nonce", base64_encode(nonce)},
                                    {"tag", base64_encode(sealed.tag)}};
    package["encrypted_aes_key"] = base64_encode(wrapped);
    package["key_algorithm"] = "RSA-OAEP-SHA256";
    package["payload_algorithm"] = "AES-256-GCM";
    return package;
}

void secure_wipe(std::string& s) noexcept { secure_clear(s); }

void secure_wipe_prefix(std::string& s, std::size_t n) noexcept {
    n = std::min(n, s.size());
    if (n == 0) return;
    OPENSSL_cleanse(s.data(), n);
    s.erase(0, n);
}

}  // namespace ossara::router_protocol
