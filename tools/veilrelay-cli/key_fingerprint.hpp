#pragma once
// Fingerprint of a public key: SHA-256 over its DER SubjectPublicKeyInfo,
// written as lowercase hex pairs joined by colons ("3f:a0:...", 32 pairs).
#include <string>

namespace veilrelay_cli {

// `public_key_pem` is a PEM public key ("-----BEGIN PUBLIC KEY-----").
// Text that does not parse is an InputError.
std::string public_key_fingerprint(const std::string& public_key_pem);

}  // namespace veilrelay_cli
