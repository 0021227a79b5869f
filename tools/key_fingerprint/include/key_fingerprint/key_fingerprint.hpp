#pragma once
// Fingerprint of a public key: SHA-256 over its DER SubjectPublicKeyInfo,
// written as lowercase hex pairs joined by colons ("3f:a0:...", 32 pairs).
// The client tools print it for their own key and the router prints it for
// its server key, so both sides show the same text for the same key. The
// library's ossara::public_key_fingerprint computes it (the pin check calls
// it too); this adds the tools' error for text that is not a key and the
// printed line.
#include <stdexcept>
#include <string>

namespace ossara::tools {

// The text is not a PEM public key.
class NotAPublicKey : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// `public_key_pem` is a PEM public key ("-----BEGIN PUBLIC KEY-----").
// Text that does not parse is NotAPublicKey.
std::string public_key_fingerprint(const std::string& public_key_pem);

// The line `veilrelay keys show` prints: "SHA-256 fingerprint: " + fingerprint.
std::string fingerprint_line(const std::string& public_key_pem);

}  // namespace ossara::tools
