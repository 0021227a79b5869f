#pragma once
// The fingerprint of a public key: what `pin_server_key` compares, what the
// command-line tools print for the client's key and the router prints for
// its server key. One function computes it for all of them.

#include <string>

namespace ossara {

/// SHA-256 over the key's DER SubjectPublicKeyInfo, written as lowercase
/// hex pairs joined by colons ("3f:a0:...", 32 pairs): the normal form that
/// `Veilrelay::pin_server_key` stores. `public_key_pem` is a PEM public key
/// ("-----BEGIN PUBLIC KEY-----"); other text is a ValueError.
std::string public_key_fingerprint(const std::string& public_key_pem);

}  // namespace ossara
