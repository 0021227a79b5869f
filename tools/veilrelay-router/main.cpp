// veilrelay-router: a self-hosted router in front of an OpenAI-compatible
// model server. Once listening it prints its base URL on the first line of
// stdout and the server key's fingerprint on the second, then serves until
// SIGINT or SIGTERM: it stops accepting at once, gives requests in flight
// the grace period (--grace) and then answers the rest 503.
#include "allocator_policy.hpp"
#include "relay_router.hpp"
#include "request_log.hpp"
#include "server_key.hpp"
#include "text_file.hpp"
#include "upstream_check.hpp"

#include <key_fingerprint/key_fingerprint.hpp>
#include <http_server/serving_options_cli.hpp>

#include <CLI/CLI.hpp>
#include <spdlog/spdlog.h>

#include <cctype>
#include <csignal>
#include <iostream>

namespace {

using namespace veilrelay_router;

constexpr const char* kDescription =
    "veilrelay-router: end-to-end encrypted chat completions in front of an OpenAI-compatible model server.\n"
    "Serves GET /pki/public_key and POST /v1/chat/secure_completion. Decrypts each request package,\n"
    "forwards the payload to {upstream}/chat/completions and encrypts the answer for the caller.\n"
    "Without --upstream a built-in echo model answers. At start it asks {upstream}/models and refuses\n"
    "to serve a model server that does not answer or lists no models (unless --no-probe). Prints the\n"
    "base URL, then the server key's SHA-256 fingerprint (for clients to pin), and stops on SIGINT or\n"
    "SIGTERM.";

// How long the start-up probe of the model server may take.
constexpr std::chrono::seconds kProbeTimeout{10};

// The first line of the file, without surrounding whitespace.
std::string first_line_of(const std::string& path) {
    const SecretText text = read_secret_file(path, 64 * 1024);
    std::string_view line = text.view().substr(0, text.view().find('\n'));
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.remove_suffix(1);
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.front()))) line.remove_prefix(1);
    if (line.empty()) throw std::runtime_error(path + " holds no key on its first line");
    return std::string(line);
}

int serve(RelayOptions options) {
    // Block the stop signals before any thread starts, so every thread
    // inherits the mask and only sigwait below receives them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    return_large_blocks_when_freed();

    RelayRouter router(std::move(options));
    router.start();
    std::cout << router.base_url() << '\n' << ossara::tools::fingerprint_line(router.public_key_pem()) << std::endl;
    for (const auto& pem : router.previous_public_key_pems())
        router_logger()->info("packages sealed for the previous key {} still open",
                              ossara::tools::public_key_fingerprint(pem));

    int received = 0;
    sigwait(&stop_signals, &received);
    router_logger()->info("stopping on signal {}; requests in flight get {} ms to finish", received,
                          router.grace().count());
    router.stop();
    return 0;
}

int run(int argc, char** argv) {
    CLI::App app{kDescription, "veilrelay-router"};

    RelayOptions options;
    std::vector<std::string> previous_server_keys;
    std::string upstream, upstream_key_file, upstream_ca_file, server_key, tls_cert, tls_key, api_keys_file,
        tier_policy_file;
    double upstream_timeout = 300.0;
    bool no_probe = false;
    app.add_option("--host", options.host, "Address to listen on")->capture_default_str();
    app.add_option("--port", options.port, "Port to listen on; 0 picks a free port")->capture_default_str();
    app.add_option("--upstream", upstream, "Model server base URL, e.g. http://127.0.0.1:8000/v1 (default: echo model)");
    app.add_option("--upstream-api-key-file", upstream_key_file,
                   "File whose first line is the model server's API key (sent as its bearer token)")
        ->check(CLI::ExistingFile);
    app.add_option("--upstream-timeout", upstream_timeout, "Seconds to wait for the model server")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    app.add_flag("--no-probe", no_probe,
                 "Start even when the model server does not answer GET {upstream}/models with a model list");
    app.add_option("--upstream-ca-file", upstream_ca_file, "Verify an https model server against this CA bundle only")
        ->check(CLI::ExistingFile);
    app.add_option("--server-key", server_key,
                   "Server RSA private key (PKCS#8 PEM) for the packages; default: a new RSA-4096 key per start")
        ->check(CLI::ExistingFile);
    app.add_option("--previous-server-key", previous_server_keys,
                   "A previous server key (PKCS#8 PEM) whose packages still open; repeatable. Only --server-key "
                   "is published. For a rotation across replicas, first give every replica the new key here")
        ->check(CLI::ExistingFile)
        ->allow_extra_args(false);
    auto* cert_opt = app.add_option("--tls-cert", tls_cert, "TLS certificate chain (PEM); serves HTTPS with --tls-key")
                         ->check(CLI::ExistingFile);
    auto* key_opt = app.add_option("--tls-key", tls_key, "TLS private key (PEM)")->check(CLI::ExistingFile);
    cert_opt->needs(key_opt);
    key_opt->needs(cert_opt);
    app.add_flag("--insecure-http", options.insecure_http,
                 "Serve plain HTTP on an address other than loopback (INSECURE: API keys travel in clear)");
    app.add_option("--api-keys-file", api_keys_file, "Accepted API keys, one per line (default: no key required)")
        ->check(CLI::ExistingFile);
    app.add_option("--tier-policy", tier_policy_file,
                   "JSON object mapping each tier (standard, high, maximum) to the models it allows")
        ->check(CLI::ExistingFile);
    app.add_flag("--ops-endpoints", options.ops_endpoints,
                 "Serve GET /healthz and GET /metrics on this address even when it is not loopback (they always "
                 "are on loopback); for load balancers' health checks and monitoring");
    ossara::http_server::ServingOptions serving;
    ossara::http_server::add_serving_options(app, serving);

    std::string keygen_file;
    auto* keygen = app.add_subcommand("keygen", "Write a new RSA-4096 server key (PKCS#8 PEM, mode 0600) and print its fingerprint");
    keygen->add_option("file", keygen_file, "Where to write the key (must not exist)")->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    }

    try {
        if (keygen->parsed()) {
            const std::string public_pem = write_new_server_key(keygen_file);
            std::cout << ossara::tools::fingerprint_line(public_pem) << std::endl;
            return 0;
        }
        if (!upstream.empty()) {
            if (const auto note = check_upstream_url(upstream)) router_logger()->warn("{}", *note);
            UpstreamSettings settings;
            settings.base_url = upstream;
            settings.timeout = std::chrono::milliseconds(static_cast<long long>(upstream_timeout * 1000.0));
            if (!upstream_key_file.empty()) settings.api_key = first_line_of(upstream_key_file);
            if (!upstream_ca_file.empty()) settings.ca_file = upstream_ca_file;
            if (no_probe) {
                router_logger()->info("not asking the model server for its models (--no-probe)");
            } else {
                const ProbeReport probe = probe_model_server(settings, kProbeTimeout);
                if (!probe.ok) throw std::runtime_error(probe.text + " (start anyway with --no-probe)");
                router_logger()->info("{}", probe.text);
            }
            options.upstream = std::move(settings);
        }
        options.worker_threads = serving.workers;
        options.grace = serving.grace();
        serving.apply(options.limits);
        if (!server_key.empty()) options.server_key_file = server_key;
        if (!previous_server_keys.empty() && server_key.empty())
            throw std::runtime_error("--previous-server-key needs --server-key (the key clients are given)");
        options.previous_server_key_files.assign(previous_server_keys.begin(), previous_server_keys.end());
        if (!tls_cert.empty()) {
            options.tls_cert_file = tls_cert;
            options.tls_key_file = tls_key;
        }
        if (!api_keys_file.empty()) options.api_keys = ApiKeys::load(api_keys_file);
        if (!tier_policy_file.empty()) options.tier_policy = TierPolicy::load(tier_policy_file);
        return serve(std::move(options));
    } catch (const std::exception& e) {
        std::cerr << "veilrelay-router: error: " << e.what() << std::endl;
        return 1;
    }
}

}  // namespace

int main(int argc, char** argv) { return run(argc, argv); }
