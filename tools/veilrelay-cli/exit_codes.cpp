#include "exit_codes.hpp"

#include "terminal_text.hpp"

#include <ossara/Veilrelay.hpp>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <system_error>

namespace veilrelay_cli {

namespace {

constexpr std::string_view kPrefix = "veilrelay: error: ";

// Error texts may carry line breaks (a router's detail, a library message);
// the report must stay on one line. They may quote a router or a model
// server, so any other control character is shown, never sent to the terminal.
std::string one_line(std::string_view text) {
    std::string flat;
    flat.reserve(text.size());
    for (const char c : text) flat.push_back(c == '\n' || c == '\r' ? ' ' : c);
    std::string out = terminal_safe(flat);
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

FailureReport report(ExitCode code, std::string_view what, std::string_view hint) {
    std::string line(kPrefix);
    line += one_line(what);
    if (!hint.empty()) {
        line += " -- ";
        line += hint;
    }
    return {code, std::move(line)};
}

std::string_view security_hint(std::string_view message) {
    if (message.starts_with("Server public key must be fetched over HTTPS") ||
        message.find("does not use HTTPS") != std::string_view::npos)
        return "use an https:// router URL, or pass --allow-http for a local development router";
    if (message.starts_with("Encryption operation failed"))
        return "the request could not be encrypted for the router; check that the router is reachable and "
               "serves a valid RSA key";
    if (message.starts_with("Decryption failed"))
        return "the answer did not authenticate; it was altered on the way or not encrypted for this key pair";
    return "the exchange was stopped for security reasons";
}

std::string_view connection_hint(std::string_view message) {
    if (message.find("certificate") != std::string_view::npos || message.find("SSL") != std::string_view::npos)
        return "the router's TLS certificate is not trusted; name its CA with --ca-file";
    return "check --router and that the router is running";
}

// Most specific classes first: the status classes derive from APIError.
FailureReport classify(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const UsageError& e) {
        return report(ExitCode::usage, e.what(), "run 'veilrelay --help' for usage");
    } catch (const InputError& e) {
        return report(ExitCode::invalid_input, e.what(), "");
    } catch (const ossara::AuthenticationError& e) {
        return report(ExitCode::authentication, e.what(), "check the key given with --api-key or --api-key-file");
    } catch (const ossara::ForbiddenError& e) {
        return report(ExitCode::forbidden, e.what(), "choose another --model or --tier");
    } catch (const ossara::RateLimitError& e) {
        return report(ExitCode::rate_limited, e.what(), "wait a moment and try again");
    } catch (const ossara::APIError& e) {
        return report(ExitCode::api_error, e.what(), "the router refused the request; try again later or use --json for details");
    } catch (const ossara::APIConnectionError& e) {
        return report(ExitCode::connection, e.what(), connection_hint(e.what()));
    } catch (const ossara::ConnectionError& e) {
        return report(ExitCode::connection, e.what(), connection_hint(e.what()));
    } catch (const ossara::SecurityError& e) {
        return report(ExitCode::security, e.what(), security_hint(e.what()));
    } catch (const ossara::ValueError& e) {
        return report(ExitCode::invalid_input, e.what(), "check the payload, --tier, the key files and the password");
    } catch (const ossara::TypeError& e) {
        return report(ExitCode::invalid_input, e.what(), "check the payload and the key files");
    } catch (const std::filesystem::filesystem_error& e) {
        return report(ExitCode::file_error, e.what(), "check the path and its permissions");
    } catch (const nlohmann::json::exception& e) {
        return report(ExitCode::invalid_input, e.what(), "");
    } catch (const ossara::CancelledError&) {
        return report(ExitCode::failure, "the request was cancelled", "");
    } catch (const std::exception& e) {
        return report(ExitCode::failure, e.what(), "");
    } catch (...) {
        return report(ExitCode::failure, "unknown failure", "");
    }
}

}  // namespace

FailureReport describe_failure(const std::exception_ptr& error) noexcept {
    try {
        return classify(error);
    } catch (...) {
        // Out of memory while wording the message: still exit with a code.
        return {ExitCode::failure, "veilrelay: error"};
    }
}

std::string exit_code_help() {
    return "Exit codes:\n"
           "  0   success\n"
           "  1   any other failure\n"
           "  2   wrong command line\n"
           "  3   authentication failed (invalid or missing API key)\n"
           "  4   forbidden (model not allowed for the security tier)\n"
           "  5   rate limit exceeded\n"
           "  6   other error answer of the router (bad request, server error, unavailable, ...)\n"
           "  7   router unreachable, no answer in time, or connection broken\n"
           "  8   refused for security reasons (http:// without --allow-http, encryption failed,\n"
           "      answer failed authentication)\n"
           "  9   invalid input (payload, tier, key file, password)\n"
           "  10  a file could not be read or written\n";
}

}  // namespace veilrelay_cli
