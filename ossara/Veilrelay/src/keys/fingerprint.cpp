#include <ossara/veilrelay/fingerprint.hpp>

#include "crypto/crypto.hpp"

namespace ossara {

std::string public_key_fingerprint(const std::string& public_key_pem) {
    return detail::public_key_fingerprint(detail::load_public_key_pem(public_key_pem).get());
}

}  // namespace ossara
