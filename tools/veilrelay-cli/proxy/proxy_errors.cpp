#include "proxy_errors.hpp"

#include <ossara/Veilrelay.hpp>

#include "router_protocol/request_headers.hpp"

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

// What a router refusal says beyond its class: the model server's status
// (when the library reports another) and its Retry-After.
struct Relayed {
    std::optional<int> status;
    std::optional<std::string> retry_after;
};

Relayed relayed_of(const ossara::APIError& e) {
    Relayed r;
    if (!e.error_details) return r;
    const auto& d = *e.error_details;
    if (const auto s = d.find("upstream_status"); s != d.end() && s->is_number_integer()) {
        const auto status = s->get<long long>();
        if (status >= 400 && status <= 599) r.status = static_cast<int>(status);
    }
    if (const auto v = d.find("retry_after"); v != d.end() && v->is_string()) {
        // Repeated in a header of ours: only a value safe there.
        const auto& text = v->get_ref<const std::string&>();
        if (ossara::router_protocol::is_relayable_retry_after(text)) r.retry_after = text;
    }
    return r;
}

ErrorReply with_relayed(ErrorReply reply, const ossara::APIError& e, bool status_from_upstream) {
    const Relayed r = relayed_of(e);
    if (status_from_upstream && r.status) reply.status = *r.status;
    reply.retry_after = r.retry_after;
    return reply;
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
        return with_relayed(reply(429, "rate_limit_error", e.what()), e, false);
    } catch (const ossara::InvalidRequestError& e) {
        // 409, 413 and 422 of the model server arrive as 400 naming their status.
        return with_relayed(reply(400, "invalid_request_error", e.what()), e, true);
    } catch (const ossara::ServerError& e) {
        return reply(error_status_or(e.status_code, 500), "server_error", e.what());
    } catch (const ossara::ServiceUnavailableError& e) {
        return with_relayed(reply(error_status_or(e.status_code, 503), "service_unavailable_error", e.what()), e, false);
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

ErrorReply map_exchange_failure(const std::exception_ptr& error, ExchangeEnd end,
                                const std::optional<nlohmann::ordered_json>& model_server_error) noexcept {
    try {
        switch (end) {
            case ExchangeEnd::timed_out:
                return reply(504, "timeout_error", "The router did not answer in time", "router_timeout");
            case ExchangeEnd::shutting_down:
                return reply(503, "service_unavailable_error", "The proxy is shutting down", "shutting_down");
            case ExchangeEnd::failed:
                break;
        }
        ErrorReply r = classify(error);
        // Only a refusal the router relayed carries the model server's object.
        if (model_server_error && model_server_error->is_object() && r.status >= 400 && r.status < 600)
            if (const auto e = model_server_error->find("error"); e != model_server_error->end() && e->is_object())
                r.error_object = *e;
        return r;
    } catch (...) {
        return {500, "internal_error", std::nullopt, "Internal error in the proxy"};
    }
}

std::optional<std::vector<std::uint8_t>> sealed_model_server_error(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const ossara::APIError& e) {
        if (!e.error_details) return std::nullopt;
        const auto sealed = e.error_details->find("model_server_error");
        if (sealed == e.error_details->end() || !sealed->is_object()) return std::nullopt;
        const std::string text = sealed->dump();
        return std::vector<std::uint8_t>(text.begin(), text.end());
    } catch (...) {
        return std::nullopt;
    }
}

ErrorReply invalid_request(std::string message, std::optional<std::string> code) {
    return reply(400, "invalid_request_error", std::move(message), std::move(code));
}

std::string error_body(const ErrorReply& r) {
    if (r.error_object)
        return nlohmann::ordered_json{{"error", *r.error_object}}.dump(-1, ' ', false,
                                                                       nlohmann::ordered_json::error_handler_t::replace);
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
