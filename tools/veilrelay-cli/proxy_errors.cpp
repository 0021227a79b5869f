#include "proxy_errors.hpp"

#include <ossara/Veilrelay.hpp>

#include <nlohmann/json.hpp>

#include <string_view>
#include <system_error>

namespace veilrelay_cli {

namespace {

ErrorReply reply(int status, std::string type, std::string message,
                 std::optional<std::string> code = std::nullopt) {
    return {status, std::move(type), std::move(code), std::move(message)};
}

// A router status passed through to the chat client. Only error statuses
// qualify: an unexpected 2xx or 3xx answer must not reach the client as
// success, and an error without a status is a fault of the router.
int error_status_or(const std::optional<int>& status, int fallback) {
    return status && *status >= 400 && *status <= 599 ? *status : fallback;
}

// Most specific classes first: the status classes derive from APIError.
ErrorReply classify(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const ossara::AuthenticationError& e) {
        return reply(401, "authentication_error", e.what(), "invalid_api_key");
    } catch (const ossara::ForbiddenError& e) {
        return reply(403, "forbidden_error", e.what());
    } catch (const ossara::RateLimitError& e) {
        return reply(429, "rate_limit_error", e.what());
    } catch (const ossara::InvalidRequestError& e) {
        return reply(400, "invalid_request_error", e.what());
    } catch (const ossara::ServerError& e) {
        return reply(error_status_or(e.status_code, 500), "server_error", e.what());
    } catch (const ossara::ServiceUnavailableError& e) {
        return reply(error_status_or(e.status_code, 503), "service_unavailable_error", e.what());
    } catch (const ossara::APIError& e) {
        return reply(error_status_or(e.status_code, 502), "api_error", e.what());
    } catch (const ossara::APIConnectionError& e) {
        return reply(502, "api_connection_error", e.what());
    } catch (const ossara::ConnectionError& e) {
        return reply(502, "api_connection_error", e.what());
    } catch (const ossara::SecurityError& e) {
        return reply(502, "security_error", e.what());
    } catch (const ossara::ValueError& e) {
        if (std::string_view(e.what()).starts_with("Payload too large"))
            return reply(413, "invalid_request_error", e.what(), "payload_too_large");
        return reply(400, "invalid_request_error", e.what());
    } catch (const ossara::TypeError& e) {
        return reply(400, "invalid_request_error", e.what());
    } catch (const ossara::CancelledError&) {
        return reply(503, "service_unavailable_error", "The request was cancelled");
    } catch (...) {
        // Whatever else went wrong stays in the proxy: its text may name
        // internals, and a client cannot act on it.
        return reply(500, "internal_error", "Internal error in the proxy");
    }
}

}  // namespace

ErrorReply map_exchange_failure(const std::exception_ptr& error, ExchangeEnd end) noexcept {
    try {
        switch (end) {
            case ExchangeEnd::timed_out:
                return reply(504, "timeout_error", "The router did not answer in time", "router_timeout");
            case ExchangeEnd::shutting_down:
                return reply(503, "service_unavailable_error", "The proxy is shutting down", "shutting_down");
            case ExchangeEnd::failed:
                break;
        }
        return classify(error);
    } catch (...) {
        return {500, "internal_error", std::nullopt, "Internal error in the proxy"};
    }
}

ErrorReply invalid_request(std::string message, std::optional<std::string> code) {
    return reply(400, "invalid_request_error", std::move(message), std::move(code));
}

std::string error_body(const ErrorReply& r) {
    nlohmann::ordered_json error = nlohmann::ordered_json::object();
    error["message"] = r.message;
    error["type"] = r.type;
    error["param"] = nullptr;
    error["code"] = r.code ? nlohmann::ordered_json(*r.code) : nlohmann::ordered_json(nullptr);
    // A router's text may hold invalid UTF-8; replace it rather than fail.
    return nlohmann::ordered_json{{"error", std::move(error)}}.dump(-1, ' ', false,
                                                                     nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace veilrelay_cli
