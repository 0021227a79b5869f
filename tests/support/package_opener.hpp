#pragma once
// An independent reading of an encrypted package (OpenSSL EVP + nlohmann,
// no code of the client), used to check what the client writes.
#include <string>

namespace ossara::testing {

// Decrypts the package JSON with the PEM private key and returns the
// plaintext bytes. Throws std::runtime_error on any failure.
std::string open_package(const std::string& package_json, const std::string& private_key_pem);

}  // namespace ossara::testing
