#pragma once
// A development router, a client with the fixed test keys, and the proxy in
// front of them, all in-process on 127.0.0.1 ports picked at start.
#include "proxy/proxy_server.hpp"

#include "devrouter/router.hpp"
#include "exchange/client_test_access.hpp"
#include "support/test_data.hpp"

#include <ossara/Veilrelay.hpp>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <memory>
#include <string>

namespace veilrelay_cli::testing {

using ossara::testing::TempDir;

using ossara::testing::vector_text;

// The client's key pair, written once per process.
inline const std::string& client_key_file() {
    static const TempDir dir;
    static const std::string path = [] {
        const auto file = dir.path() / "client.pem";
        ossara::testing::write_file(file, vector_text("client_private_key_pem"));
        return file.string();
    }();
    return path;
}

inline std::unique_ptr<ossara::devrouter::Router> start_router(ossara::devrouter::CompletionBehaviour behaviour = {},
                                                               int workers = 16,
                                                               std::optional<std::string> api_key = std::nullopt) {
    ossara::devrouter::RouterOptions options;
    options.server_key_pem = vector_text("server_private_key_pem");
    options.worker_threads = workers;
    options.api_key = std::move(api_key);
    auto router = std::make_unique<ossara::devrouter::Router>(std::move(options));
    router->set_completion_behaviour(std::move(behaviour));
    router->start();
    return router;
}

// A client for `url` with short HTTP limits, so failing peers fail fast.
inline std::unique_ptr<ossara::Veilrelay> client_for(const std::string& url) {
    auto client = std::make_unique<ossara::Veilrelay>(url, /*allow_http=*/true);
    client->load_keys(client_key_file());
    ossara::detail::ClientTestAccess::set_http_limits(*client, {std::chrono::milliseconds(2000), std::chrono::seconds(1)});
    return client;
}

inline std::string chat_body(const std::string& content, const std::string& extra = {}) {
    nlohmann::ordered_json body;
    body["model"] = "echo";
    body["messages"] = nlohmann::ordered_json::array({{{"role", "user"}, {"content", content}}});
    std::string text = body.dump();
    if (!extra.empty()) text.insert(text.size() - 1, ", " + extra);
    return text;
}

inline httplib::Client http_client(int port) {
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(std::chrono::seconds(30));
    return client;
}

inline nlohmann::json error_of(const httplib::Result& result) {
    return nlohmann::json::parse(result->body, nullptr, false);
}

}  // namespace veilrelay_cli::testing
