#include "router_key_command.hpp"

#include "exit_codes.hpp"
#include "key_fingerprint.hpp"
#include "run_sync.hpp"
#include "terminal_text.hpp"

#include <ossara/Veilrelay.hpp>

#include <asio/io_context.hpp>

#include <algorithm>
#include <ostream>

namespace veilrelay_cli {

void run_router_key(const RouterKeyOptions& options, std::ostream& out) {
    ossara::Veilrelay client(options.router_url, options.allow_http);
    if (options.ca_file) client.set_ca_file(options.ca_file->string());
    apply_router_access(client, options.access);

    asio::io_context io;
    std::string pem = run_sync(io, client.fetch_server_public_key());
    const std::string fingerprint = public_key_fingerprint(pem);
    const auto& pins = client.pinned_server_keys();
    if (!pins.empty() && std::find(pins.begin(), pins.end(), fingerprint) == pins.end())
        throw ossara::SecurityError("Server public key does not match the pinned key");
    if (!pem.empty() && pem.back() != '\n') pem += '\n';
    // The PEM text is the router's own: a key loads even with other text around it.
    out << terminal_safe(pem) << "SHA-256 fingerprint: " << fingerprint << '\n';
}

}  // namespace veilrelay_cli
