// The client's RSA key pair: generation, PEM files, loading, validation and
// the best-effort page locking of a private-key copy.
#include <ossara/Veilrelay.hpp>

#include "core/logging.hpp"
#include "core/secret_bytes.hpp"
#include "core/secure_memory_binding.hpp"
#include "crypto/crypto.hpp"
#include "crypto/openssl_util.hpp"
#include "keys/key_files.hpp"

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace ossara {

namespace {

using detail::BioPtr;
using detail::openssl_error_text;

// PBKDF2 rounds for a password-protected key file (HMAC-SHA256).
constexpr int kPbkdf2Iterations = 100000;

using Pkcs8InfoPtr = std::unique_ptr<PKCS8_PRIV_KEY_INFO, detail::OpensslFree<&PKCS8_PRIV_KEY_INFO_free>>;
using X509SigPtr = std::unique_ptr<X509_SIG, detail::OpensslFree<&X509_SIG_free>>;
using X509AlgorPtr = std::unique_ptr<X509_ALGOR, detail::OpensslFree<&X509_ALGOR_free>>;

[[noreturn]] void fail(const char* what) { throw std::runtime_error(std::string(what) + ": " + openssl_error_text()); }

bool has_text(const std::optional<std::string>& value) { return value.has_value() && !value->empty(); }

// PEM PKCS#8 of the private key in a memory BIO (which wipes its buffer when
// freed): encrypted with PBES2 (AES-256-CBC, PBKDF2-HMAC-SHA256) under the
// password when there is one, else plain.
BioPtr private_key_pem(EVP_PKEY* key, const std::optional<std::string>& password) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio) fail("BIO_new failed");
    if (!has_text(password)) {
        if (PEM_write_bio_PKCS8PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
            fail("cannot encode the private key");
        return bio;
    }
    if (password->size() > static_cast<std::size_t>(INT_MAX)) throw ValueError("password too long");
    Pkcs8InfoPtr info(EVP_PKEY2PKCS8(key));
    if (!info) fail("cannot encode the private key");
    X509AlgorPtr scheme(PKCS5_pbe2_set_iv_ex(EVP_aes_256_cbc(), kPbkdf2Iterations, nullptr, 0, nullptr,
                                             NID_hmacWithSHA256, nullptr));
    if (!scheme) fail("cannot set up the key encryption");
    X509SigPtr encrypted(PKCS8_set0_pbe(password->data(), static_cast<int>(password->size()), info.get(), scheme.get()));
    if (!encrypted) fail("cannot encrypt the private key");
    scheme.release();  // now owned by `encrypted`
    if (PEM_write_bio_PKCS8(bio.get(), encrypted.get()) != 1) fail("cannot encode the private key");
    return bio;
}

std::span<const std::uint8_t> bio_bytes(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    if (size <= 0 || data == nullptr) return {};
    return {reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)};
}

// What the PEM password callback saw: whether the key asked for a password.
struct PasswordSource {
    const std::string* password = nullptr;  // null: none given
    bool asked = false;
};

int password_callback(char* buf, int size, int /*rwflag*/, void* user) {
    auto* source = static_cast<PasswordSource*>(user);
    source->asked = true;
    if (source->password == nullptr) return -1;
    if (source->password->size() > static_cast<std::size_t>(size)) return -1;
    std::memcpy(buf, source->password->data(), source->password->size());
    return static_cast<int>(source->password->size());
}

[[noreturn]] void undecodable() { throw std::runtime_error(openssl_error_text("Could not deserialize key data")); }

// An encrypted PKCS#8 key (what generate_keys writes under a password),
// decrypted with the password itself. The PEM password callback would cut
// the password at its 1024-byte buffer; PKCS8_decrypt takes any length.
// Empty when the text holds no encrypted PKCS#8 key.
detail::EvpPkeyPtr decrypt_pkcs8(const detail::SecretBytes& pem, const std::optional<std::string>& password,
                                 bool& encrypted) {
    BioPtr bio = detail::memory_bio(pem.data(), pem.size());
    X509SigPtr sealed(PEM_read_bio_PKCS8(bio.get(), nullptr, nullptr, nullptr));
    encrypted = sealed != nullptr;
    ERR_clear_error();
    if (!sealed || !has_text(password)) return nullptr;
    if (password->size() > static_cast<std::size_t>(INT_MAX)) throw ValueError("password too long");
    Pkcs8InfoPtr info(PKCS8_decrypt(sealed.get(), password->data(), static_cast<int>(password->size())));
    if (!info) undecodable();
    detail::EvpPkeyPtr key(EVP_PKCS82PKEY(info.get()));
    if (!key) undecodable();
    return key;
}

// Parses a PEM private key, refusing a password the key does not need as well
// as a missing one, so a caller learns that the file is not what it expects.
detail::EvpPkeyPtr parse_private_key(const detail::SecretBytes& pem, const std::optional<std::string>& password) {
    ERR_clear_error();
    bool encrypted = false;
    if (detail::EvpPkeyPtr key = decrypt_pkcs8(pem, password, encrypted)) return key;
    if (encrypted && !has_text(password)) throw std::runtime_error("Password was not given but private key is encrypted");
    // Unencrypted keys, and the older PEM encryption with its own headers.
    BioPtr bio = detail::memory_bio(pem.data(), pem.size());
    PasswordSource source{has_text(password) ? &*password : nullptr, false};
    detail::EvpPkeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, &password_callback, &source));
    if (!key) {
        if (source.asked && source.password == nullptr) {
            ERR_clear_error();
            throw std::runtime_error("Password was not given but private key is encrypted");
        }
        undecodable();
    }
    if (source.password != nullptr && !source.asked)
        throw std::runtime_error("Password was given but private key is not encrypted.");
    return key;
}

// Whether `pem` is the SubjectPublicKeyInfo of `key`'s public half.
bool is_public_half(std::string_view pem, const EVP_PKEY* key) {
    try {
        const detail::EvpPkeyPtr candidate = detail::load_public_key_pem(pem);
        const bool same = EVP_PKEY_eq(candidate.get(), key) == 1;
        ERR_clear_error();
        return same;
    } catch (const ValueError&) {
        ERR_clear_error();
        return false;
    }
}

bool has_private_part(const EVP_PKEY* key) {
    BIGNUM* d = nullptr;
    const bool found = EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_D, &d) == 1 && d != nullptr;
    BN_clear_free(d);
    ERR_clear_error();
    return found;
}

// Python-style whitespace strip of a PEM text read from a file.
std::string strip(const std::string& text) {
    constexpr const char* kSpace = " \t\n\r\v\f\x1c\x1d\x1e\x1f";
    const auto first = text.find_first_not_of(kSpace);
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

}  // namespace

void Veilrelay::generate_keys(bool save_to_file, std::string key_dir, std::optional<std::string> password) {
    detail::log().info("Generating RSA key pair...");
    private_key_ = detail::generate_rsa_key(key_size_);
    public_key_pem_ = detail::public_key_pem(private_key_.get());
    detail::log().debug("Generated {}-bit RSA key pair", key_size_);
    _protect_private_key();
    if (!save_to_file) return;

    const std::filesystem::path dir = detail::path_from_utf8(key_dir);
    std::filesystem::create_directories(dir);
    const BioPtr pem = private_key_pem(private_key_.get(), password);
    if (has_text(password))
        detail::log().debug("Private key encrypted with password");
    else
        detail::log().warn("Private key saved UNENCRYPTED (not recommended for production)");

    const auto private_path = dir / "private_key.pem";
    detail::write_private_file(private_path, bio_bytes(pem.get()));
    std::error_code ec;
    std::filesystem::permissions(private_path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::replace, ec);
    if (ec)
        detail::log().warn("Could not set private key permissions: {}", ec.message());
    else
        detail::log().debug("Private key permissions set to 600 (owner-only access)");

    const auto public_path = dir / "public_key.pem";
    detail::write_text_file(public_path, *public_key_pem_);
    using std::filesystem::perms;
    std::filesystem::permissions(public_path,
                                 perms::owner_read | perms::owner_write | perms::group_read | perms::others_read,
                                 std::filesystem::perm_options::replace, ec);
    if (ec)
        detail::log().warn("Could not set public key permissions: {}", ec.message());
    else
        detail::log().debug("Public key permissions set to 644");
    detail::log().debug("Keys saved to {}/", key_dir);
}

void Veilrelay::load_keys(const std::string& private_key_path, std::optional<std::string> public_key_path,
                          std::optional<std::string> password) {
    // All or nothing: the new pair is built and checked aside and installed
    // only when every step succeeded, so a failure leaves the client's pair
    // exactly as it was.
    detail::log().info("Loading keys from files...");
    const detail::SecretBytes pem = detail::read_file_bytes(detail::path_from_utf8(private_key_path));
    detail::EvpPkeyPtr key;
    try {
        key = parse_private_key(pem, password);
    } catch (const std::exception& e) {
        throw ValueError(std::string("Failed to load private key: ") + e.what());
    }
    detail::log().debug("Private key loaded {}", has_text(password) ? "with password" : "without password");

    std::string public_pem = has_text(public_key_path)
                                 ? strip(detail::read_text_file(detail::path_from_utf8(*public_key_path)))
                                 : detail::public_key_pem(key.get());

    _validate_rsa_key(key.get(), "private");
    // A public key of another pair would be sent to the router, and every
    // answer, wrapped for it, would then fail to decrypt.
    if (has_text(public_key_path) && !is_public_half(public_pem, key.get()))
        throw ValueError("Public key does not match private key");

    private_key_ = std::move(key);
    public_key_pem_ = std::move(public_pem);
    _protect_private_key();
    detail::log().debug("Keys loaded successfully");
}

void Veilrelay::_validate_rsa_key(const EVP_PKEY* key, const std::string& key_type) const {
    const bool is_rsa = key != nullptr && EVP_PKEY_is_a(key, "RSA") == 1;
    if (key_type == "private") {
        if (!is_rsa || !has_private_part(key)) throw ValueError("Invalid private key: not an RSA private key");
    } else if (!is_rsa || has_private_part(key)) {
        throw ValueError("Invalid public key: not an RSA public key");
    }
    const int bits = EVP_PKEY_get_bits(key);
    if (bits < MIN_KEY_SIZE)
        throw ValueError("Key size " + std::to_string(bits) + " is too small. Minimum recommended size is " +
                         std::to_string(MIN_KEY_SIZE) + " bits.");
    detail::log().debug("Valid {}-bit RSA {} key", bits, key_type);
}

void Veilrelay::_protect_private_key() noexcept {
    if (!_use_secure_memory || !private_key_) return;
    try {
        Pkcs8InfoPtr info(EVP_PKEY2PKCS8(private_key_.get()));
        if (!info) fail("cannot export the private key");
        const int size = i2d_PKCS8_PRIV_KEY_INFO(info.get(), nullptr);
        if (size <= 0) fail("cannot export the private key");
        detail::SecretBytes der(static_cast<std::size_t>(size));
        unsigned char* out = der.data();
        if (i2d_PKCS8_PRIV_KEY_INFO(info.get(), &out) != size) fail("cannot export the private key");
        detail::lock_and_zero_with_process_handler(der.span(), [](bool locked) {
            detail::log().debug("Private key page lock: {}", locked ? "success" : "unavailable");
        });  // zeroed, then unlocked
    } catch (const std::exception& e) {
        detail::log().debug("Private key protection unavailable: {}", e.what());
    } catch (...) {
        detail::log().debug("Private key protection unavailable: unknown error");
    }
}

}  // namespace ossara
