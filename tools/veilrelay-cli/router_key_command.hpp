#pragma once
// `veilrelay router-key`: fetch the router's public key and print it with its
// fingerprint, so that a user can check it out of band and pin it (--pin).
#include "router_access.hpp"

#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>

namespace veilrelay_cli {

struct RouterKeyOptions {
    std::string router_url;
    bool allow_http = false;
    std::optional<std::filesystem::path> ca_file;
    RouterAccess access;  // the proxy; a pin is checked when given
};

// Writes the key PEM as received, then "SHA-256 fingerprint: <hex pairs>".
void run_router_key(const RouterKeyOptions& options, std::ostream& out);

}  // namespace veilrelay_cli
