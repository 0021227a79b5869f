#pragma once
// `veilrelay proxy`: a local chat-completions endpoint in front of the
// router. Existing chat clients and SDKs point their base URL at it; every
// request leaves this machine encrypted for the router and every answer is
// decrypted here (proxy_server.hpp).
#include "key_store.hpp"
#include "router_access.hpp"

#include <http_server/serving_options.hpp>

#include <chrono>
#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace veilrelay_cli {

struct ProxyOptions {
    std::string router_url;
    std::string listen = "127.0.0.1:8088";  // ADDRESS:PORT; port 0 picks a free port
    std::optional<std::filesystem::path> api_key_file;
    std::optional<std::filesystem::path> local_token_file;
    std::optional<std::string> tier;
    bool allow_http = false;
    std::optional<std::filesystem::path> ca_file;
    KeyOptions keys;  // without a directory: one pair generated in memory for the proxy's life
    std::vector<std::string> models;
    std::vector<std::string> allowed_hosts;    // --allow-host
    std::vector<std::string> allowed_origins;  // --allow-origin
    std::chrono::seconds timeout{60};
    RouterAccess access;  // --proxy, --pin
    bool animate_progress = false;
    bool lazy = false;  // serve even when the router's key cannot be fetched at start
    ossara::http_server::ServingOptions serving;  // --workers, --grace, --max-connections, --keep-alive
};

// Checks the options, prepares the client and its keys, starts serving,
// writes the base URL ("http://127.0.0.1:PORT/v1") as the first line of
// `out`, and serves until SIGINT or SIGTERM; then stops accepting, lets the
// requests in flight finish (bounded) and returns. Errors are thrown
// (exit_codes.hpp).
void run_proxy(ProxyOptions options, std::ostream& out);

}  // namespace veilrelay_cli
