#include "proxy_command.hpp"

#include "exit_codes.hpp"
#include "listen_address.hpp"
#include "proxy_server.hpp"
#include "run_sync.hpp"
#include "stop_signals.hpp"
#include "terminal_safe_sink.hpp"
#include "text_input.hpp"

#include <ossara/Veilrelay.hpp>

#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include <asio/io_context.hpp>

#include <ostream>

namespace veilrelay_cli {

namespace {

constexpr const char* kLoggerName = "veilrelay.proxy";

std::shared_ptr<spdlog::logger> proxy_logger() {
    if (auto existing = spdlog::get(kLoggerName)) return existing;
    // Lines quote the network (request paths, the router's error texts): shown terminal-safe.
    auto logger = std::make_shared<spdlog::logger>(
        kLoggerName, std::make_shared<TerminalSafeSink>(std::make_shared<spdlog::sinks::stderr_sink_mt>()));
    logger->set_pattern("veilrelay: %l: %v");
    logger->set_level(spdlog::level::info);
    spdlog::register_logger(logger);
    return logger;
}

void check_options(const ProxyOptions& options, const ListenAddress& listen) {
    // Refuse plain HTTP before anything slow happens (key generation).
    if (!options.router_url.starts_with("https://") && !options.allow_http)
        throw ossara::SecurityError("the router URL '" + options.router_url + "' does not use HTTPS");
    if (options.ca_file && !std::filesystem::is_regular_file(*options.ca_file))
        throw std::filesystem::filesystem_error("CA file not found", *options.ca_file,
                                                std::make_error_code(std::errc::no_such_file_or_directory));
    if (!is_loopback(listen.host) && !options.local_token_file)
        throw UsageError("listening on '" + listen.host +
                         "' lets other machines reach the proxy: give --local-token-file to require a token");
}

// The client every request goes through. Settings that change how the
// client reaches the router belong here.
void configure_client(ossara::Veilrelay& client, const ProxyOptions& options) {
    if (options.ca_file) client.set_ca_file(options.ca_file->string());
    apply_router_access(client, options.access);
}

void provide_proxy_keys(ossara::Veilrelay& client, const ProxyOptions& options) {
    if (options.keys.dir)
        provide_keys(client, options.keys, options.animate_progress);
    else
        generate_key_pair(client, std::nullopt, std::nullopt, options.animate_progress);
}

// Asks the router for its key once, so that a wrong --router is reported at
// start rather than as failing requests: the proxy refuses to start without
// it, unless --lazy lets the router come up later.
void probe_router(ossara::Veilrelay& client, bool lazy, spdlog::logger& log) {
    std::string failure;
    try {
        asio::io_context io;
        run_sync(io, client.fetch_server_public_key());
        return;
    } catch (const ossara::ConnectionError& e) {
        if (!lazy)
            throw ossara::ConnectionError("the router at " + client.router_url() + " did not hand out its key: " +
                                          e.what() + " (start with --lazy to serve anyway)");
        failure = e.what();
    } catch (const ossara::ValueError& e) {
        // The router answered, but not with a key: an error of the router, not of the input.
        if (!lazy)
            throw ossara::APIError("the router at " + client.router_url() + " did not hand out its key: " + e.what() +
                                       " (start with --lazy to serve anyway)",
                                   502);
        failure = e.what();
    }
    log.warn("the router at {} did not hand out its key ({}); serving anyway (--lazy)", client.router_url(), failure);
}

}  // namespace

void run_proxy(ProxyOptions options, std::ostream& out) {
    const ListenAddress listen = parse_listen_address(options.listen);
    check_options(options, listen);

    ProxyConfig config;
    config.host = listen.host;
    config.port = listen.port;
    config.tier = options.tier;
    config.models = options.models;
    config.allowed_hosts = options.allowed_hosts;
    config.allowed_origins = options.allowed_origins;
    config.exchange_timeout = options.timeout;
    config.threads = static_cast<std::size_t>(options.serving.workers);
    config.shutdown_grace = options.serving.grace();
    options.serving.apply(config.limits);
    config.log = proxy_logger();
    if (options.api_key_file) config.router_api_key = read_secret_file(*options.api_key_file, "API key");
    if (options.local_token_file) config.local_token = read_secret_file(*options.local_token_file, "local token");
    const WipeOnExit wipe_api_key(config.router_api_key);
    const WipeOnExit wipe_token(config.local_token);

    ossara::Veilrelay client(options.router_url, options.allow_http);
    configure_client(client, options);
    probe_router(client, options.lazy, *config.log);
    provide_proxy_keys(client, options);

    // Before the server's threads start, so that only wait() below receives
    // the stop signals.
    StopSignals stop_signals;

    ProxyServer server(client, config);
    server.start();
    out << server.base_url() << std::endl;
    if (!out) throw std::runtime_error("cannot write to standard output");
    config.log->info("serving {} for the router {}", server.base_url(), client.router_url());

    const int received = stop_signals.wait();
    config.log->info("stopping on signal {}: finishing the requests in flight", received);
    server.stop();
}

}  // namespace veilrelay_cli
