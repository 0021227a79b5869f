// minimal_chat: one end-to-end encrypted chat completion.
//
//   minimal_chat [ROUTER_URL] [--allow-http] [--ca-file FILE]
//
// The request is encrypted for the router's public key, the answer for this
// client's own key pair, which is generated in memory at start-up.
#include <ossara/Veilrelay.hpp>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>

#include <iostream>
#include <optional>
#include <string>

int main(int argc, char** argv) {
    std::string router_url(ossara::Veilrelay::DEFAULT_ROUTER_URL);
    bool allow_http = false;          // plain http:// only for a local development router
    std::optional<std::string> ca_file;  // trust this CA instead of the system store
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--allow-http") {
            allow_http = true;
        } else if (arg == "--ca-file" && i + 1 < argc) {
            ca_file = argv[++i];
        } else if (!arg.starts_with("-")) {
            router_url = arg;
        } else {
            std::cerr << "usage: minimal_chat [ROUTER_URL] [--allow-http] [--ca-file FILE]\n";
            return 2;
        }
    }

    try {
        ossara::Veilrelay client(router_url, allow_http);
        if (ca_file) client.set_ca_file(*ca_file);
        client.generate_keys();  // RSA-4096, kept in memory only

        const ossara::json payload = {
            {"model", "echo"},
            {"messages", ossara::json::array({ossara::json{{"role", "user"}, {"content", "Hello over an encrypted channel"}}})},
        };

        // The client's operations are coroutines: run them on your io_context.
        asio::io_context io;
        auto answer = asio::co_spawn(io, client.send_secure_request(payload, "minimal-chat-1"), asio::use_future);
        io.run();

        std::cout << answer.get()["choices"][0]["message"]["content"].get<std::string>() << '\n';
        return 0;
    } catch (const ossara::AuthenticationError& e) {  // 401: wrong or missing API key
        std::cerr << "authentication failed: " << e.what() << '\n';
    } catch (const ossara::APIError& e) {  // any other error answer; status_code tells which
        std::cerr << "router error " << e.status_code.value_or(0) << ": " << e.what() << '\n';
    } catch (const ossara::APIConnectionError& e) {  // unreachable, broken connection, timeout
        std::cerr << "connection failed: " << e.what() << '\n';
    } catch (const ossara::SecurityError& e) {  // http:// without allow_http, encryption or authentication failure
        std::cerr << "security error: " << e.what() << '\n';
    } catch (const ossara::Exception& e) {  // every other error of the library
        std::cerr << "error: " << e.what() << '\n';
    }
    return 1;
}
