// The cryptographic layer: every call into OpenSSL goes through here, with an
// RAII owner for each object, so no failure path leaks a context.
#include "crypto/crypto.hpp"

#include "crypto/openssl_util.hpp"

#include <ossara/veilrelay/errors.hpp>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <array>
#include <memory>
#include <climits>
#include <memory>
#include <stdexcept>

namespace ossara::detail {

namespace {

// OpenSSL counts lengths in int; larger inputs are fed in chunks.
constexpr std::size_t kChunk = 1u << 30;

[[noreturn]] void fail(const char* what) {
    throw std::runtime_error(std::string(what) + ": " + openssl_error_text());
}

bool is_rsa(const EVP_PKEY* key) { return key != nullptr && EVP_PKEY_is_a(key, "RSA") == 1; }

// Sets OAEP with SHA-256 for both the hash and MGF1, and the empty label
// (OpenSSL's default when no label is set).
void configure_oaep(EVP_PKEY_CTX* ctx) {
    if (EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING) <= 0 ||
        EVP_PKEY_CTX_set_rsa_oaep_md(ctx, EVP_sha256()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, EVP_sha256()) <= 0)
        fail("cannot configure RSA-OAEP");
}

const EVP_CIPHER* gcm_for_key(std::size_t key_size) {
    switch (key_size) {
        case 16: return EVP_aes_128_gcm();
        case 24: return EVP_aes_192_gcm();
        case 32: return EVP_aes_256_gcm();
        default: throw ValueError("Invalid key size (" + std::to_string(key_size * 8) + ") for AES-GCM.");
    }
}

// Starts a GCM context with the given key and a nonce of any accepted length.
EvpCipherCtxPtr start_gcm(bool encrypt, std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce) {
    const EVP_CIPHER* cipher = gcm_for_key(key.size());
    if (nonce.empty()) throw ValueError("Invalid nonce: must not be empty");
    if (nonce.size() > static_cast<std::size_t>(INT_MAX)) throw ValueError("Invalid nonce length");
    EvpCipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    if (!ctx) fail("EVP_CIPHER_CTX_new failed");
    if (EVP_CipherInit_ex(ctx.get(), cipher, nullptr, nullptr, nullptr, encrypt ? 1 : 0) != 1) fail("AES-GCM init failed");
    if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(nonce.size()), nullptr) != 1)
        throw ValueError("Invalid nonce length for AES-GCM: " + std::to_string(nonce.size()));
    if (EVP_CipherInit_ex(ctx.get(), nullptr, nullptr, key.data(), nonce.data(), -1) != 1) fail("AES-GCM key setup failed");
    return ctx;
}

// Runs the cipher over `in`, writing the same number of bytes to `out`.
void gcm_update(EVP_CIPHER_CTX* ctx, std::span<const std::uint8_t> in, std::uint8_t* out) {
    std::size_t done = 0;
    while (done < in.size()) {
        const int n = static_cast<int>(std::min(kChunk, in.size() - done));
        int written = 0;
        if (EVP_CipherUpdate(ctx, out + done, &written, in.data() + done, n) != 1 || written != n)
            fail("AES-GCM update failed");
        done += static_cast<std::size_t>(n);
    }
}

// The password callback for public keys: a block that claims to be encrypted
// gets no password. Without a callback OpenSSL would ask for one on the
// terminal, so a router's answer could stop the process at a prompt.
int no_password(char*, int, int, void*) { return 0; }

struct OpensslBytesFree {
    void operator()(unsigned char* bytes) const noexcept { OPENSSL_free(bytes); }
};

// The usual form of a public key, a "PUBLIC KEY" block holding exactly one
// SubjectPublicKeyInfo, read directly: several times cheaper than OpenSSL's
// general key decoding, which stays the reader (and the judge) of every other
// text. nullptr when the text is not of that form.
EvpPkeyPtr read_public_key_block(std::string_view pem) {
    BioPtr bio = memory_bio(pem.data(), pem.size());
    unsigned char* der = nullptr;
    long size = 0;
    if (PEM_bytes_read_bio(&der, &size, nullptr, PEM_STRING_PUBLIC, bio.get(), &no_password, nullptr) != 1)
        return nullptr;
    const std::unique_ptr<unsigned char, OpensslBytesFree> owned(der);
    const unsigned char* p = der;
    EvpPkeyPtr key(d2i_PUBKEY(nullptr, &p, size));
    if (!key || p != der + size) return nullptr;
    return key;
}

}  // namespace

void random_bytes(std::span<std::uint8_t> out) {
    std::size_t done = 0;
    while (done < out.size()) {
        const int n = static_cast<int>(std::min(kChunk, out.size() - done));
        if (RAND_bytes(out.data() + done, n) != 1) fail("the random source failed");
        done += static_cast<std::size_t>(n);
    }
}

EvpPkeyPtr generate_rsa_key(int bits) {
    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    if (!ctx) fail("cannot create an RSA key context");
    BignumPtr exponent(BN_new());
    if (!exponent || BN_set_word(exponent.get(), RSA_F4) != 1) fail("cannot set the RSA exponent");
    if (EVP_PKEY_keygen_init(ctx.get()) <= 0 || EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), bits) <= 0 ||
        EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), exponent.get()) <= 0)
        fail("cannot configure RSA key generation");
    EVP_PKEY* raw = nullptr;
    if (EVP_PKEY_generate(ctx.get(), &raw) <= 0) fail("RSA key generation failed");
    return EvpPkeyPtr(raw);
}

EvpPkeyPtr load_public_key_pem(std::string_view pem) {
    ERR_clear_error();
    if (EvpPkeyPtr key = read_public_key_block(pem)) return key;
    ERR_clear_error();
    BioPtr bio = memory_bio(pem.data(), pem.size());
    EvpPkeyPtr key(PEM_read_bio_PUBKEY(bio.get(), nullptr, &no_password, nullptr));
    if (!key) throw ValueError("Could not deserialize key data: " + openssl_error_text("no PEM public key found"));
    return key;
}

std::string public_key_pem(const EVP_PKEY* key) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio) fail("BIO_new failed");
    // PEM_write_bio_PUBKEY takes a non-const pointer but only reads the key.
    if (PEM_write_bio_PUBKEY(bio.get(), const_cast<EVP_PKEY*>(key)) != 1) fail("cannot encode the public key");
    return bio_contents(bio.get());
}

std::vector<std::uint8_t> rsa_oaep_wrap(EVP_PKEY* public_key, std::span<const std::uint8_t> key) {
    if (!is_rsa(public_key)) throw std::runtime_error("RSA-OAEP needs an RSA public key");
    // OAEP with SHA-256 carries at most modulus - 2*32 - 2 bytes: a key that is
    // too small for the input is an unacceptable value, not an internal fault.
    const int modulus = EVP_PKEY_get_size(public_key);
    if (modulus - 2 * 32 - 2 < static_cast<int>(key.size())) throw ValueError("Encryption failed");
    ERR_clear_error();
    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, public_key, nullptr));
    if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) <= 0) fail("RSA-OAEP init failed");
    configure_oaep(ctx.get());
    std::size_t size = 0;
    if (EVP_PKEY_encrypt(ctx.get(), nullptr, &size, key.data(), key.size()) <= 0) fail("RSA-OAEP failed");
    std::vector<std::uint8_t> wrapped(size);
    if (EVP_PKEY_encrypt(ctx.get(), wrapped.data(), &size, key.data(), key.size()) <= 0) fail("RSA-OAEP failed");
    wrapped.resize(size);
    return wrapped;
}

SecretBytes rsa_oaep_unwrap(EVP_PKEY* private_key, std::span<const std::uint8_t> wrapped) {
    if (!is_rsa(private_key)) throw std::runtime_error("RSA-OAEP needs an RSA private key");
    ERR_clear_error();
    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, private_key, nullptr));
    if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) <= 0) fail("RSA-OAEP init failed");
    configure_oaep(ctx.get());
    // The output never exceeds the modulus size.
    std::size_t size = static_cast<std::size_t>(EVP_PKEY_get_size(private_key));
    SecretBytes key(size);
    if (EVP_PKEY_decrypt(ctx.get(), key.data(), &size, wrapped.data(), wrapped.size()) <= 0) {
        ERR_clear_error();  // the reason is deliberately not reported (padding oracle)
        throw ValueError("Decryption failed");
    }
    key.truncate(size);
    return key;
}

AesGcmEncryptor::AesGcmEncryptor(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce) {
    ERR_clear_error();
    ctx_ = start_gcm(true, key, nonce);
}

AesGcmEncryptor::~AesGcmEncryptor() = default;

void AesGcmEncryptor::update(std::span<const std::uint8_t> plaintext, std::uint8_t* ciphertext_out) {
    gcm_update(ctx_.get(), plaintext, ciphertext_out);
}

std::array<std::uint8_t, kGcmTagSize> AesGcmEncryptor::finish() {
    int tail = 0;
    std::uint8_t none[16];
    if (EVP_EncryptFinal_ex(ctx_.get(), none, &tail) != 1 || tail != 0) fail("AES-GCM finish failed");
    std::array<std::uint8_t, kGcmTagSize> tag{};
    if (EVP_CIPHER_CTX_ctrl(ctx_.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(tag.size()), tag.data()) != 1)
        fail("AES-GCM tag failed");
    return tag;
}

std::array<std::uint8_t, kGcmTagSize> aes_gcm_encrypt(std::span<const std::uint8_t> key,
                                                      std::span<const std::uint8_t> nonce,
                                                      std::span<const std::uint8_t> plaintext,
                                                      std::span<std::uint8_t> ciphertext_out) {
    if (ciphertext_out.size() < plaintext.size()) throw std::invalid_argument("ciphertext buffer too small");
    AesGcmEncryptor encryptor(key, nonce);
    encryptor.update(plaintext, ciphertext_out.data());
    return encryptor.finish();
}

AesGcmDecryptor::AesGcmDecryptor(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                                 std::span<const std::uint8_t> tag) {
    if (tag.size() != kGcmTagSize)
        throw ValueError("Authentication tag must be " + std::to_string(kGcmTagSize) + " bytes, got " +
                         std::to_string(tag.size()));
    std::copy(tag.begin(), tag.end(), tag_.begin());
    ERR_clear_error();
    ctx_ = start_gcm(false, key, nonce);
}

AesGcmDecryptor::~AesGcmDecryptor() = default;

void AesGcmDecryptor::authenticate(std::span<const std::uint8_t> aad) {
    if (aad.size() > static_cast<std::size_t>(INT_MAX)) throw ValueError("Additional data too long");
    int written = 0;
    if (EVP_DecryptUpdate(ctx_.get(), nullptr, &written, aad.data(), static_cast<int>(aad.size())) != 1)
        fail("AES-GCM additional data failed");
}

void AesGcmDecryptor::update(std::span<const std::uint8_t> ciphertext, std::uint8_t* plaintext_out) {
    gcm_update(ctx_.get(), ciphertext, plaintext_out);
}

void AesGcmDecryptor::finish() {
    // EVP_CTRL_GCM_SET_TAG takes a non-const buffer but only reads it.
    if (EVP_CIPHER_CTX_ctrl(ctx_.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(tag_.size()), tag_.data()) != 1)
        fail("AES-GCM tag setup failed");
    int tail = 0;
    std::uint8_t none[16];
    if (EVP_DecryptFinal_ex(ctx_.get(), none, &tail) != 1) {
        ERR_clear_error();
        throw AuthenticationFailure();
    }
}

SecretBytes aes_gcm_decrypt(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                            std::span<const std::uint8_t> ciphertext, std::span<const std::uint8_t> tag) {
    AesGcmDecryptor decryptor(key, nonce, tag);
    SecretBytes plaintext(ciphertext.size());
    decryptor.update(ciphertext, plaintext.data());
    decryptor.finish();
    return plaintext;
}

std::string public_key_fingerprint(EVP_PKEY* key) {
    unsigned char* raw = nullptr;
    const int der_length = i2d_PUBKEY(key, &raw);
    if (der_length <= 0) throw std::runtime_error("cannot encode the public key as DER");
    const std::unique_ptr<unsigned char, OpensslBytesFree> der(raw);

    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int digest_length = 0;
    if (EVP_Digest(der.get(), static_cast<std::size_t>(der_length), digest.data(), &digest_length, EVP_sha256(),
                   nullptr) != 1)
        throw std::runtime_error("SHA-256 of the public key failed");

    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < digest_length; ++i) {
        if (i != 0) out += ':';
        out += kHex[digest[i] >> 4];
        out += kHex[digest[i] & 0x0f];
    }
    return out;
}

}  // namespace ossara::detail
