#include "key_fingerprint/key_fingerprint.hpp"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <array>
#include <memory>
#include <stdexcept>

namespace ossara::tools {

namespace {
struct BioFree {
    void operator()(BIO* bio) const noexcept { BIO_free(bio); }
};
struct PkeyFree {
    void operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }
};
struct OpensslFree {
    void operator()(unsigned char* p) const noexcept { OPENSSL_free(p); }
};
}  // namespace

std::string public_key_fingerprint(const std::string& public_key_pem) {
    const std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(public_key_pem.data(), static_cast<int>(public_key_pem.size())));
    if (!bio) throw std::runtime_error("out of memory");
    const std::unique_ptr<EVP_PKEY, PkeyFree> key(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
    if (!key) throw NotAPublicKey("the public key is not a PEM public key");

    unsigned char* raw = nullptr;
    const int der_len = i2d_PUBKEY(key.get(), &raw);
    if (der_len <= 0) throw std::runtime_error("cannot encode the public key as DER");
    const std::unique_ptr<unsigned char, OpensslFree> der(raw);

    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int digest_len = 0;
    if (EVP_Digest(der.get(), static_cast<std::size_t>(der_len), digest.data(), &digest_len, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 failed");

    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < digest_len; ++i) {
        if (i != 0) out.push_back(':');
        out.push_back(kHex[digest[i] >> 4]);
        out.push_back(kHex[digest[i] & 0x0f]);
    }
    return out;
}

std::string fingerprint_line(const std::string& public_key_pem) {
    return "SHA-256 fingerprint: " + public_key_fingerprint(public_key_pem);
}

}  // namespace ossara::tools
