// veilrelay-dev-router: the development router as a command-line program.
// Prints its base URL as the first line of stdout once it is listening and
// runs until SIGINT or SIGTERM.
#include "devrouter/router.hpp"

#include <CLI/CLI.hpp>

#include <csignal>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>

namespace {

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Development router for the Veilrelay client.\n"
        "Serves GET /pki/public_key (the server's RSA public key, PEM) and\n"
        "POST /v1/chat/secure_completion (decrypts the request package, answers from a\n"
        "built-in echo model that repeats the last user message, and encrypts the answer\n"
        "for the caller's X-Public-Key). Prints its base URL as the first line of stdout\n"
        "once listening; stops on SIGINT or SIGTERM."};
    ossara::devrouter::RouterOptions options;
    std::string tls_cert, tls_key, server_key, api_key;
    app.add_option("--host", options.host, "Address to listen on")->capture_default_str();
    app.add_option("--port", options.port, "Port to listen on; 0 picks a free port")->capture_default_str();
    auto* cert_opt = app.add_option("--tls-cert", tls_cert, "Server certificate (PEM); serves HTTPS with --tls-key")
                         ->check(CLI::ExistingFile);
    auto* key_opt =
        app.add_option("--tls-key", tls_key, "Private key of the certificate (PEM)")->check(CLI::ExistingFile);
    cert_opt->needs(key_opt);
    key_opt->needs(cert_opt);
    app.add_option("--server-key", server_key,
                   "Server RSA private key (PEM) for the packages; default: a new RSA-4096 key")
        ->check(CLI::ExistingFile);
    app.add_option("--api-key", api_key,
                   "Require \"Authorization: Bearer KEY\" on completion requests (otherwise 401)");
    bool no_stream = false;
    app.add_flag("--no-stream", no_stream,
                 "Answer streaming requests with one package, as a router that does not stream");
    const std::map<std::string, ossara::devrouter::StreamFault> faults{
        {"none", ossara::devrouter::StreamFault::none},
        {"truncate", ossara::devrouter::StreamFault::truncate},
        {"reorder", ossara::devrouter::StreamFault::reorder},
        {"repeat", ossara::devrouter::StreamFault::repeat},
        {"corrupt-tag", ossara::devrouter::StreamFault::corrupt_tag},
        {"pause", ossara::devrouter::StreamFault::pause},
        {"error-end", ossara::devrouter::StreamFault::error_end},
        {"trailing", ossara::devrouter::StreamFault::trailing}};
    ossara::devrouter::StreamFault fault = ossara::devrouter::StreamFault::none;
    int pause_ms = 0;
    app.add_option("--stream-fault", fault, "Spoil streamed answers (for testing clients)")
        ->transform(CLI::CheckedTransformer(faults, CLI::ignore_case));
    app.add_option("--stream-pause-ms", pause_ms, "With --stream-fault pause: the pause before chunk 1")
        ->check(CLI::NonNegativeNumber);
    CLI11_PARSE(app, argc, argv);
    options.streaming = !no_stream;

    // Block the stop signals before any thread starts, so every thread
    // inherits the mask and only sigwait below receives them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    try {
        if (!tls_cert.empty()) {
            options.tls_cert_file = tls_cert;
            options.tls_key_file = tls_key;
        }
        if (!server_key.empty()) options.server_key_pem = read_file(server_key);
        if (!api_key.empty()) options.api_key = api_key;

        ossara::devrouter::Router router(std::move(options));
        router.set_completion_behaviour(
            ossara::devrouter::CompletionBehaviour::streamed(fault, std::chrono::milliseconds(pause_ms)));
        router.start();
        std::cout << router.base_url() << std::endl;

        int received = 0;
        sigwait(&stop_signals, &received);
        std::cerr << "stopping on signal " << received << std::endl;
        router.stop();
    } catch (const std::exception& e) {
        std::cerr << "veilrelay-dev-router: " << e.what() << std::endl;
        return 1;
    }
    return 0;
}
