// concurrent_requests: N encrypted requests in flight at once on one thread.
//
//   concurrent_requests [ROUTER_URL] [--allow-http] [--ca-file FILE] [-n N]
//
// Every request is its own coroutine, co_spawned on one io_context; the
// library starts no thread of its own. Each request fetches the router's key,
// encrypts with a fresh AES key and uses its own HTTP connection.
#include <ossara/Veilrelay.hpp>

#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>

#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace {

// The client and the results vector outlive io.run(), so references are
// safe here; everything else a coroutine receives is taken by value.
asio::awaitable<void> ask(ossara::Veilrelay& client, int index, std::vector<std::string>& results) {
    const std::string question = "question " + std::to_string(index);
    ossara::json payload = {
        {"model", "echo"},
        {"messages", ossara::json::array({ossara::json{{"role", "user"}, {"content", question}}})},
    };
    try {
        const ossara::json answer =
            co_await client.send_secure_request(std::move(payload), "concurrent-" + std::to_string(index));
        results[static_cast<std::size_t>(index)] = answer["choices"][0]["message"]["content"].get<std::string>();
    } catch (const ossara::Exception& e) {
        results[static_cast<std::size_t>(index)] = std::string("failed: ") + e.what();
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string router_url(ossara::Veilrelay::DEFAULT_ROUTER_URL);
    bool allow_http = false;
    std::optional<std::string> ca_file;
    int count = 8;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--allow-http") {
            allow_http = true;
        } else if (arg == "--ca-file" && i + 1 < argc) {
            ca_file = argv[++i];
        } else if (arg == "-n" && i + 1 < argc) {
            count = std::atoi(argv[++i]);
        } else if (!arg.starts_with("-")) {
            router_url = arg;
        } else {
            std::cerr << "usage: concurrent_requests [ROUTER_URL] [--allow-http] [--ca-file FILE] [-n N]\n";
            return 2;
        }
    }
    if (count < 1) count = 1;

    asio::io_context io;
    std::vector<std::string> results(static_cast<std::size_t>(count));
    try {
        ossara::Veilrelay client(router_url, allow_http);
        if (ca_file) client.set_ca_file(*ca_file);
        client.generate_keys();  // one key pair serves all requests

        for (int i = 0; i < count; ++i) asio::co_spawn(io, ask(client, i, results), asio::detached);
        io.run();  // returns when every request has finished
    } catch (const ossara::Exception& e) {
        std::cerr << "error: " << e.what() << '\n';
        return 1;
    }

    int failures = 0;
    for (int i = 0; i < count; ++i) {
        const auto& result = results[static_cast<std::size_t>(i)];
        if (result.starts_with("failed: ")) ++failures;
        std::cout << i << ": " << result << '\n';
    }
    return failures == 0 ? 0 : 1;
}
