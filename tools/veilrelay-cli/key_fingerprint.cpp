#include "key_fingerprint.hpp"

#include "exit_codes.hpp"

#include <key_fingerprint/key_fingerprint.hpp>

namespace veilrelay_cli {

std::string public_key_fingerprint(const std::string& public_key_pem) {
    try {
        return ossara::tools::public_key_fingerprint(public_key_pem);
    } catch (const ossara::tools::NotAPublicKey& e) {
        throw InputError(e.what());
    }
}

}  // namespace veilrelay_cli
