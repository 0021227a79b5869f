// Stands in for a secure-memory library that lacks one of its two entry
// points: only ossara_hushvault_secure_bytearray is exported.
#include <ossara/hushvault_bridge.hpp>

extern "C" ossara::bridge::SecureScope* ossara_hushvault_secure_bytearray(std::uint8_t*, std::size_t, bool) {
    return nullptr;
}
