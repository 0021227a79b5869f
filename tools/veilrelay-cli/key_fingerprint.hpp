#pragma once
// The key fingerprint as the command-line tool reports it: the shared
// fingerprint code, with text that is not a public key an InputError.
#include <string>

namespace veilrelay_cli {

// SHA-256 over the DER SubjectPublicKeyInfo, lowercase hex pairs joined by colons.
std::string public_key_fingerprint(const std::string& public_key_pem);

}  // namespace veilrelay_cli
