#include "support/test_certs.hpp"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

namespace ossara::testing {

namespace {

struct PkeyFree {
    void operator()(EVP_PKEY* p) const noexcept { EVP_PKEY_free(p); }
};
struct X509Free {
    void operator()(X509* p) const noexcept { X509_free(p); }
};
struct FileClose {
    void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;

void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("test certificate: ") + what + " failed");
}

PkeyPtr make_key(ServerKeyKind kind = ServerKeyKind::p256) {
    // P-256 keys: generated in milliseconds, accepted by every TLS stack.
    // RSA for the TLS suites that only an RSA certificate can offer.
    PkeyPtr key(kind == ServerKeyKind::rsa2048 ? EVP_RSA_gen(2048) : EVP_EC_gen("P-256"));
    check(key != nullptr, "EVP_PKEY generation");
    return key;
}

void add_extension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    check(ext != nullptr, "X509V3_EXT_conf_nid");
    const int ok = X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
    check(ok == 1, "X509_add_ext");
}

X509Ptr make_cert(EVP_PKEY* key, const char* common_name, long serial, X509* issuer, EVP_PKEY* issuer_key) {
    X509Ptr cert(X509_new());
    check(cert != nullptr, "X509_new");
    check(X509_set_version(cert.get(), 2) == 1, "X509_set_version");
    check(ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial) == 1, "serial");
    // Valid from an hour ago (clock skew) for a day: long enough for any test run.
    check(X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) != nullptr, "notBefore");
    check(X509_gmtime_adj(X509_getm_notAfter(cert.get()), 24 * 3600) != nullptr, "notAfter");
    check(X509_set_pubkey(cert.get(), key) == 1, "X509_set_pubkey");
    X509_NAME* name = X509_get_subject_name(cert.get());
    check(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                     reinterpret_cast<const unsigned char*>(common_name), -1, -1, 0) == 1,
          "subject");
    X509* const signer = issuer ? issuer : cert.get();
    check(X509_set_issuer_name(cert.get(), X509_get_subject_name(signer)) == 1, "issuer");
    if (issuer == nullptr) {
        add_extension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
        add_extension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
        add_extension(cert.get(), signer, NID_subject_key_identifier, "hash");
    } else {
        add_extension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
        add_extension(cert.get(), signer, NID_key_usage, "critical,digitalSignature,keyEncipherment");
        add_extension(cert.get(), signer, NID_ext_key_usage, "serverAuth");
        add_extension(cert.get(), signer, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost");
        add_extension(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
    }
    check(X509_sign(cert.get(), issuer_key, EVP_sha256()) > 0, "X509_sign");
    return cert;
}

std::unique_ptr<std::FILE, FileClose> open_for_writing(const std::filesystem::path& path) {
#if defined(_WIN32)
    std::unique_ptr<std::FILE, FileClose> f(::_wfopen(path.c_str(), L"wb"));
#else
    std::unique_ptr<std::FILE, FileClose> f(std::fopen(path.c_str(), "wb"));
#endif
    check(f != nullptr, "fopen");
    return f;
}

void write_cert(const std::filesystem::path& path, X509* cert) {
    auto f = open_for_writing(path);
    check(PEM_write_X509(f.get(), cert) == 1, "PEM_write_X509");
}

void write_key(const std::filesystem::path& path, EVP_PKEY* key) {
    auto f = open_for_writing(path);
    check(PEM_write_PrivateKey(f.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1, "PEM_write_PrivateKey");
}

}  // namespace

TestCertificates make_test_certificates(const std::filesystem::path& dir, ServerKeyKind kind) {
    const PkeyPtr ca_key = make_key();
    const X509Ptr ca = make_cert(ca_key.get(), "ossara test CA", 1, nullptr, ca_key.get());
    const PkeyPtr server_key = make_key(kind);
    const X509Ptr server = make_cert(server_key.get(), "127.0.0.1", 2, ca.get(), ca_key.get());

    TestCertificates out{dir / "ca.pem", dir / "server.pem", dir / "server-key.pem"};
    write_cert(out.ca_file, ca.get());
    write_cert(out.cert_file, server.get());
    write_key(out.key_file, server_key.get());
    return out;
}

}  // namespace ossara::testing
