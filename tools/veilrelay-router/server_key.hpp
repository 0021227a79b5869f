#pragma once
// The router's RSA key for the packages: generated into a PKCS#8 PEM file
// that only its owner may read, or loaded from one.
#include <router_protocol/package_crypto.hpp>

#include <filesystem>
#include <string>

namespace veilrelay_router {

inline constexpr unsigned kServerKeyBits = 4096;

// Generates an RSA-4096 key and writes it to `file` (mode 0600). Refuses to
// replace an existing file. Returns the public key PEM.
std::string write_new_server_key(const std::filesystem::path& file);

// Loads a PEM private key; std::runtime_error when it is unreadable or not RSA.
ossara::router_protocol::EvpKey load_server_key(const std::filesystem::path& file);

}  // namespace veilrelay_router
