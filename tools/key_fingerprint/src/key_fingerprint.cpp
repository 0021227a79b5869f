#include "key_fingerprint/key_fingerprint.hpp"

#include <ossara/Veilrelay.hpp>

namespace ossara::tools {

std::string public_key_fingerprint(const std::string& public_key_pem) {
    try {
        return ossara::public_key_fingerprint(public_key_pem);
    } catch (const ossara::ValueError&) {
        throw NotAPublicKey("the public key is not a PEM public key");
    }
}

std::string fingerprint_line(const std::string& public_key_pem) {
    return "SHA-256 fingerprint: " + public_key_fingerprint(public_key_pem);
}

}  // namespace ossara::tools
