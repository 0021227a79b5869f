#pragma once
// How a command reaches the router beyond its URL: an explicit proxy and a
// pinned router key. Every command that talks to a router adds these options
// with add_router_access_options and hands them to its client with
// apply_router_access.
#include <ossara/Veilrelay.hpp>

#include <optional>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace veilrelay_cli {

struct RouterAccess {
    std::optional<std::string> proxy;  // --proxy URL
    std::vector<std::string> pins;     // --pin FINGERPRINT, repeatable: the router key must match one
};

// Adds --proxy and, with `with_pin`, --pin to `command`; the values land in `access`.
void add_router_access_options(CLI::App& command, RouterAccess& access, bool with_pin = true);

// Sets the proxy and the pins on the client (ossara::ValueError for a malformed fingerprint).
void apply_router_access(ossara::Veilrelay& client, const RouterAccess& access);

}  // namespace veilrelay_cli
