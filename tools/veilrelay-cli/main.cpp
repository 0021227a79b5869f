// veilrelay: command-line client for the end-to-end encrypted chat-completion
// router. Parses the command line, runs one command, and turns any failure
// into one line on stderr and an exit code (exit_codes.hpp).
#include "chat_command.hpp"
#include "exit_codes.hpp"
#include "info_command.hpp"
#include "keys_command.hpp"
#include "logging_setup.hpp"
#include "progress_indicator.hpp"
#include "proxy/proxy_command.hpp"
#include "router_access.hpp"
#include "router_key_command.hpp"

#include <http_server/serving_options_cli.hpp>

#include <ossara/Veilrelay.hpp>

#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>
#include <stdexcept>

namespace {

using namespace veilrelay_cli;

constexpr const char* kChatHelp = "Send one end-to-end encrypted chat request and print the decrypted answer";
constexpr const char* kChatKeysHelp =
    "Keys: with --keys DIR the client key pair is loaded from DIR, or generated and saved there on\n"
    "first use. Without --keys the pair from the default directory ($XDG_DATA_HOME/veilrelay/keys,\n"
    "else ~/.local/share/veilrelay/keys, filled by 'veilrelay keys generate') is used when present;\n"
    "otherwise a fresh 4096-bit pair is generated in memory for this run and never written to disk\n"
    "(that takes a few seconds).";

constexpr const char* kKeysHelp = "Generate or show the client key pair";
constexpr const char* kKeysDirHelp =
    "The key pair lives in DIR (--keys) or in the default directory\n"
    "($XDG_DATA_HOME/veilrelay/keys, else ~/.local/share/veilrelay/keys).";

void add_key_options(CLI::App& command, KeyOptions& keys, std::string& dir, std::string& password_file) {
    command.add_option("--keys", dir, "Key directory (private_key.pem, public_key.pem)");
    command.add_option("--password-file", password_file,
                       "File whose first line is the password of the private key (encrypts it when generating)");
    command.callback([&keys, &dir, &password_file] {
        if (!dir.empty()) keys.dir = dir;
        if (!password_file.empty()) keys.password_file = password_file;
    });
}

constexpr const char* kProxyHelp =
    "Serve the chat-completions API on this machine and send every request end-to-end encrypted to the router";
constexpr const char* kProxyFooter =
    "Point any chat client or SDK at the printed base URL (http://127.0.0.1:PORT/v1).\n"
    "The router API key comes from --api-key-file, else from the client's \"Authorization: Bearer\" header.\n"
    "With --local-token-file callers must send that token as their bearer token (required when --listen\n"
    "names a non-loopback address), and the router API key comes only from --api-key-file.\n"
    "Keys: with --keys DIR the pair is loaded from DIR, or generated and saved there; otherwise a fresh\n"
    "4096-bit pair is generated at start and kept in memory only.\n"
    "Web pages cannot use the proxy: a request whose Host is not the proxy's address gets 421 (--allow-host),\n"
    "one with an Origin gets 403 (--allow-origin), a POST that is not Content-Type: application/json gets 415.\n"
    "At start the router's key is fetched once; the proxy refuses to start without it unless --lazy.\n"
    "GET /v1/models lists the router's models (the model server's) and every --model name. "
#if defined(_WIN32)
    "Stops on Ctrl-C, Ctrl-Break or when its console closes.";
#else
    "Stops on SIGINT or SIGTERM.";
#endif

// `veilrelay proxy` options. Options that change how the client reaches the
// router are added here and applied in configure_client (proxy_command.cpp).
CLI::App* add_proxy_command(CLI::App& app, ProxyOptions& proxy, std::string& tier, std::string& keys_dir,
                            std::string& password_file, std::string& api_key_file, std::string& local_token_file,
                            std::string& ca_file, int& timeout) {
    auto* cmd = app.add_subcommand("proxy", kProxyHelp);
    cmd->footer(std::string(kProxyFooter) + "\n\n" + exit_code_help());
    cmd->add_option("--router", proxy.router_url, "Router base URL")->capture_default_str();
    cmd->add_option("--listen", proxy.listen, "ADDRESS:PORT to serve on; port 0 picks a free port")->capture_default_str();
    cmd->add_option("--api-key-file", api_key_file, "File whose first line is the router API key");
    cmd->add_option("--local-token-file", local_token_file,
                    "File whose first line is the token callers must send as \"Authorization: Bearer\"");
    cmd->add_option("--tier", tier, "Security tier for every request (else the caller's X-Security-Tier)")
        ->check(CLI::IsMember({"standard", "high", "maximum"}));
    cmd->add_flag("--allow-http", proxy.allow_http, "Allow a plain http:// router URL (local development only: INSECURE)");
    cmd->add_option("--ca-file", ca_file, "Verify the router's certificate against this CA bundle (PEM) only");
    cmd->add_option("--keys", keys_dir, "Key directory: loaded, or generated there on first use");
    cmd->add_option("--password-file", password_file, "File whose first line is the private key's password");
    cmd->add_option("--model", proxy.models, "A model name GET /v1/models lists (repeatable)")->take_all();
    cmd->add_option("--allow-host", proxy.allowed_hosts,
                    "A Host name served besides the listen address, localhost, 127.0.0.1 and [::1] (NAME for any "
                    "port, or NAME:PORT; repeatable); other Host headers get 421")
        ->take_all();
    cmd->add_option("--allow-origin", proxy.allowed_origins,
                    "A web origin (e.g. https://chat.example.com) whose pages may call the proxy, with CORS "
                    "(repeatable); requests with another Origin get 403")
        ->take_all();
    cmd->add_option("--timeout", timeout, "Seconds one request may take before it fails with 504")
        ->capture_default_str()
        ->check(CLI::Range(1, 3600));
    cmd->add_flag("--lazy", proxy.lazy,
                  "Start even when the router's key cannot be fetched (the router may come up later)");
    add_router_access_options(*cmd, proxy.access);
    ossara::http_server::add_serving_options(*cmd, proxy.serving);
    return cmd;
}

int run(int argc, char** argv) {
    CLI::App app{"veilrelay: end-to-end encrypted chat completions through a router", "veilrelay"};
    app.set_version_flag("--version", std::string("veilrelay ") + VEILRELAY_VERSION);
    app.require_subcommand(1);
    app.fallthrough();
    app.footer(exit_code_help());
    int verbosity = 0;
    app.add_flag("-v,--verbose", verbosity, "Log more: -v info, -vv debug (library loggers)");

    // chat
    ChatOptions chat;
    chat.router_url = std::string(ossara::Veilrelay::DEFAULT_ROUTER_URL);
    std::string message, payload_file, api_key, api_key_file, tier, ca_file, chat_keys_dir, chat_password_file;
    auto* chat_cmd = app.add_subcommand("chat", kChatHelp);
    chat_cmd->footer(std::string(kChatKeysHelp) + "\n\n" + exit_code_help());
    auto* message_opt = chat_cmd->add_option("message", message, "The message; read from standard input when absent");
    auto* payload_opt =
        chat_cmd->add_option("--payload", payload_file, "Send the JSON object in FILE as the request (members in file order)");
    payload_opt->excludes(message_opt);
    chat_cmd->add_option("--router", chat.router_url, "Router base URL")->capture_default_str();
    auto* model_opt = chat_cmd->add_option("--model", chat.model, "Model name (overrides the payload file's)")->capture_default_str();
    auto* key_opt = chat_cmd->add_option("--api-key", api_key, "API key (visible to other local users; prefer --api-key-file)");
    chat_cmd->add_option("--api-key-file", api_key_file, "File whose first line is the API key")->excludes(key_opt);
    auto* tier_opt = chat_cmd->add_option("--tier", tier, "Security tier")->check(CLI::IsMember({"standard", "high", "maximum"}));
    chat_cmd->add_flag("--allow-http", chat.allow_http, "Allow a plain http:// router URL (local development only: INSECURE)");
    chat_cmd->add_option("--ca-file", ca_file, "Verify the router's certificate against this CA bundle (PEM) only");
    auto* json_opt = chat_cmd->add_flag("--json", chat.json_output, "Print the whole answer object as JSON");
    chat_cmd->add_flag("--raw", chat.raw_output,
                       "Print the answer's text byte for byte, control characters included (else shown as ^[ etc.)")
        ->excludes(json_opt);
    chat_cmd->add_flag("--stream", chat.stream,
                       "Ask for a streamed answer and print its text as it comes (with --json: each chunk as a line)");
    chat_cmd->add_option("--keys", chat_keys_dir, "Key directory: loaded, or generated there on first use");
    chat_cmd->add_option("--password-file", chat_password_file, "File whose first line is the private key's password");
    add_router_access_options(*chat_cmd, chat.access);

    // router-key
    RouterKeyOptions router_key;
    router_key.router_url = std::string(ossara::Veilrelay::DEFAULT_ROUTER_URL);
    std::string router_key_ca_file;
    auto* router_key_cmd = app.add_subcommand(
        "router-key", "Fetch the router's public key and print it with its SHA-256 fingerprint (to pin with --pin)");
    router_key_cmd->add_option("--router", router_key.router_url, "Router base URL")->capture_default_str();
    router_key_cmd->add_flag("--allow-http", router_key.allow_http,
                             "Allow a plain http:// router URL (local development only: INSECURE)");
    router_key_cmd->add_option("--ca-file", router_key_ca_file,
                               "Verify the router's certificate against this CA bundle (PEM) only");
    add_router_access_options(*router_key_cmd, router_key.access);

    // keys
    KeyOptions key_options;
    std::string keys_dir, keys_password_file;
    bool force = false;
    auto* keys_cmd = app.add_subcommand("keys", kKeysHelp);
    keys_cmd->require_subcommand(1);
    keys_cmd->footer(kKeysDirHelp);
    auto* generate_cmd = keys_cmd->add_subcommand("generate", "Generate a 4096-bit RSA key pair and save it");
    add_key_options(*generate_cmd, key_options, keys_dir, keys_password_file);
    generate_cmd->add_flag("--force", force, "Replace an existing key pair");
    auto* show_cmd = keys_cmd->add_subcommand("show", "Print the public key and its SHA-256 fingerprint (of the DER SubjectPublicKeyInfo)");
    add_key_options(*show_cmd, key_options, keys_dir, keys_password_file);

    // proxy
    ProxyOptions proxy;
    proxy.router_url = std::string(ossara::Veilrelay::DEFAULT_ROUTER_URL);
    std::string proxy_tier, proxy_keys_dir, proxy_password_file, proxy_api_key_file, proxy_token_file, proxy_ca_file;
    int proxy_timeout = static_cast<int>(proxy.timeout.count());
    auto* proxy_cmd = add_proxy_command(app, proxy, proxy_tier, proxy_keys_dir, proxy_password_file,
                                        proxy_api_key_file, proxy_token_file, proxy_ca_file, proxy_timeout);

    // info
    auto* info_cmd = app.add_subcommand("info", "Print the secure-memory capabilities and the memory-lock limit as JSON");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // --help and --version end here with CLI11's own output.
        if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) return app.exit(e);
        throw UsageError(e.what());
    }

    configure_logging(verbosity);
    install_warning_handler();
    const bool animate = ProgressIndicator::stderr_is_terminal() && verbosity == 0;

    if (*chat_cmd) {
        if (*message_opt) chat.message = message;
        if (*payload_opt) chat.payload_file = payload_file;
        chat.model_given = model_opt->count() > 0;
        if (*key_opt) chat.api_key = api_key;
        if (!api_key_file.empty()) chat.api_key_file = api_key_file;
        if (*tier_opt) chat.tier = tier;
        if (!ca_file.empty()) chat.ca_file = ca_file;
        if (!chat_keys_dir.empty()) chat.keys.dir = chat_keys_dir;
        if (!chat_password_file.empty()) chat.keys.password_file = chat_password_file;
        chat.animate_progress = animate;
        run_chat(std::move(chat), std::cin, std::cout);
    } else if (*router_key_cmd) {
        if (!router_key_ca_file.empty()) router_key.ca_file = router_key_ca_file;
        run_router_key(router_key, std::cout);
    } else if (*generate_cmd) {
        run_keys_generate(key_options, force, animate, std::cout);
    } else if (*show_cmd) {
        run_keys_show(key_options, std::cout);
    } else if (*proxy_cmd) {
        if (!proxy_tier.empty()) proxy.tier = proxy_tier;
        if (!proxy_keys_dir.empty()) proxy.keys.dir = proxy_keys_dir;
        if (!proxy_password_file.empty()) proxy.keys.password_file = proxy_password_file;
        if (!proxy_api_key_file.empty()) proxy.api_key_file = proxy_api_key_file;
        if (!proxy_token_file.empty()) proxy.local_token_file = proxy_token_file;
        if (!proxy_ca_file.empty()) proxy.ca_file = proxy_ca_file;
        proxy.timeout = std::chrono::seconds(proxy_timeout);
        proxy.animate_progress = animate;
        run_proxy(std::move(proxy), std::cout);
    } else if (*info_cmd) {
        run_info(std::cout, std::cerr);
    }
    // A full disk or a closed file must not pass for success.
    std::cout.flush();
    if (!std::cout) throw std::runtime_error("cannot write to standard output");
    return static_cast<int>(ExitCode::ok);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (...) {
        const FailureReport failure = describe_failure(std::current_exception());
        std::cout.flush();
        std::fprintf(stderr, "%s\n", failure.line.c_str());
        return static_cast<int>(failure.code);
    }
}
