#include "exchange/status_errors.hpp"

#include "codec/json_reader.hpp"
#include "codec/json_writer.hpp"

#include <ossara/Veilrelay.hpp>

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace ossara::detail {

namespace {

enum class ErrorClass { invalid_request, authentication, forbidden, api, rate_limit, server, service_unavailable };

struct StatusRow {
    long status;
    ErrorClass error_class;
    std::string_view prefix;          // prepended to the detail
    std::string_view default_detail;  // when the object has no "detail"
    std::string_view fallback;        // when the body is not JSON
};

constexpr std::array<StatusRow, 7> kStatusRows{{
    {400, ErrorClass::invalid_request, "Bad request: ", "Unknown error", "Bad request: Invalid response format"},
    {401, ErrorClass::authentication, "", "Invalid API key or authentication failed",
     "Invalid API key or authentication failed"},
    {403, ErrorClass::forbidden, "Forbidden: ", "Model not allowed for the requested security tier",
     "Forbidden: Model not allowed for the requested security tier"},
    {404, ErrorClass::api, "Endpoint not found: ", "Secure inference not enabled",
     "Endpoint not found: Secure inference not enabled"},
    {429, ErrorClass::rate_limit, "Rate limit exceeded: ", "Too many requests", "Rate limit exceeded: Too many requests"},
    {500, ErrorClass::server, "Server error: ", "Internal server error", "Server error: Internal server error"},
    {503, ErrorClass::service_unavailable, "Service unavailable: ", "Inference backend is unavailable",
     "Service unavailable: Inference backend is unavailable"},
}};

const StatusRow* find_row(long status) {
    for (const auto& row : kStatusRows)
        if (row.status == status) return &row;
    return nullptr;
}

// With a status: the error of a JSON object body. Without: the fallback,
// which carries the class's default status (none for APIError).
[[noreturn]] void raise(ErrorClass error_class, std::string message, std::optional<int> status,
                        std::optional<json> details) {
    switch (error_class) {
        case ErrorClass::invalid_request:
            throw status ? InvalidRequestError(std::move(message), *status, std::move(details))
                         : InvalidRequestError(std::move(message));
        case ErrorClass::authentication:
            throw status ? AuthenticationError(std::move(message), *status, std::move(details))
                         : AuthenticationError(std::move(message));
        case ErrorClass::forbidden:
            throw status ? ForbiddenError(std::move(message), *status, std::move(details))
                         : ForbiddenError(std::move(message));
        case ErrorClass::rate_limit:
            throw status ? RateLimitError(std::move(message), *status, std::move(details))
                         : RateLimitError(std::move(message));
        case ErrorClass::server:
            throw status ? ServerError(std::move(message), *status, std::move(details))
                         : ServerError(std::move(message));
        case ErrorClass::service_unavailable:
            throw status ? ServiceUnavailableError(std::move(message), *status, std::move(details))
                         : ServiceUnavailableError(std::move(message));
        case ErrorClass::api:
            break;
    }
    throw APIError(std::move(message), status, std::move(details));
}

// The reader of packages and answers: NaN and Infinity tokens, numbers
// beyond the double range, the same nesting bound. A body it refuses (too
// deep among others) is not JSON for the status rows.
std::optional<json> parse_body(std::span<const std::uint8_t> body) {
    try {
        return parse_json(std::string_view(reinterpret_cast<const char*>(body.data()), body.size()));
    } catch (const json::exception&) {
        return std::nullopt;
    }
}

// A detail that is not a string is shown as its JSON text, written without
// recursion (a received value may be deeply nested).
std::string detail_text(const json& detail) {
    return detail.is_string() ? detail.get<std::string>() : serialise_json(detail);
}

}  // namespace

void raise_for_status(long status, std::span<const std::uint8_t> body, bool details_for_any_status) {
    std::optional<json> parsed = parse_body(body);
    const StatusRow* row = find_row(status);

    if (row == nullptr) {
        std::string detail_msg = "unknown";
        const bool object = parsed && parsed->is_object();
        if (object) {
            const auto it = parsed->find("detail");
            if (it != parsed->end()) detail_msg = detail_text(*it);
        }
        std::string message = "Unexpected status code: " + std::to_string(status) + " " + detail_msg;
        if (details_for_any_status && object) throw APIError(std::move(message), static_cast<int>(status), std::move(parsed));
        throw APIError(std::move(message), static_cast<int>(status));
    }

    if (!parsed) raise(row->error_class, std::string(row->fallback), std::nullopt, std::nullopt);
    if (!parsed->is_object()) throw TypeError("error body is JSON but not an object; it has no detail");

    const auto it = parsed->find("detail");
    std::string detail;
    if (it == parsed->end()) {
        detail = row->default_detail;
    } else if (row->error_class == ErrorClass::authentication && !it->is_string()) {
        // The detail is the whole message here, and messages are strings.
        throw TypeError("authentication error detail is not a string");
    } else {
        detail = detail_text(*it);
    }
    // The body becomes the error's details by moving: received values are never copied.
    raise(row->error_class, std::string(row->prefix) + detail, static_cast<int>(status), std::move(parsed));
}

}  // namespace ossara::detail
