#pragma once
// RAII owners for the OpenSSL objects the client uses, and the text of
// OpenSSL's error queue for error messages.
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>

#include <memory>
#include <string>

namespace ossara::detail {

template <auto Free>
struct OpensslFree {
    template <typename T>
    void operator()(T* object) const noexcept {
        Free(object);
    }
};

using EvpPkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, OpensslFree<&EVP_PKEY_CTX_free>>;
using EvpCipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, OpensslFree<&EVP_CIPHER_CTX_free>>;
using BioPtr = std::unique_ptr<BIO, OpensslFree<&BIO_free_all>>;
using BignumPtr = std::unique_ptr<BIGNUM, OpensslFree<&BN_free>>;

// Drains OpenSSL's error queue of this thread into one line of text
// ("error:...; error:..."); `fallback` when the queue is empty.
std::string openssl_error_text(const std::string& fallback = "unknown OpenSSL error");

// A read-only memory BIO over `bytes` (no copy); ValueError if too large.
BioPtr memory_bio(const void* bytes, std::size_t size);

// Everything written to a memory BIO so far.
std::string bio_contents(BIO* bio);

}  // namespace ossara::detail
