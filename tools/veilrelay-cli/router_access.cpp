#include "router_access.hpp"

#include <CLI/CLI.hpp>

namespace veilrelay_cli {

void add_router_access_options(CLI::App& command, RouterAccess& access, bool with_pin) {
    command.add_option("--proxy", access.proxy,
                       "Reach the router through this proxy (e.g. http://proxy:3128); proxy environment variables "
                       "are never used");
    if (with_pin)
        command
            .add_option("--pin", access.pins,
                        "Refuse a router key whose SHA-256 fingerprint is not FINGERPRINT (see 'veilrelay "
                        "router-key'); repeat it to accept any of several keys, e.g. during a key rotation")
            // One fingerprint per --pin: a second word is the next argument (the message of chat).
            ->allow_extra_args(false);
}

void apply_router_access(ossara::Veilrelay& client, const RouterAccess& access) {
    client.set_proxy(access.proxy);
    client.pin_server_keys(access.pins);
}

}  // namespace veilrelay_cli
