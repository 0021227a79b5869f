#pragma once
// Wrapping the content key for the server through a scratch copy that is
// wiped right after the RSA operation, whether it succeeded or not.
#include <ossara/Veilrelay.hpp>

#include <cstdint>
#include <span>
#include <vector>

namespace ossara::detail {

// Copies `aes_key` into `key_copy` (same size), wraps the copy with RSA-OAEP
// for `server_key`, then overwrites `key_copy` with zeros. Errors of the wrap
// propagate after the wipe.
std::vector<std::uint8_t> wrap_key_through_copy(EVP_PKEY* server_key, std::span<const std::uint8_t> aes_key,
                                                std::span<std::uint8_t> key_copy);

}  // namespace ossara::detail
