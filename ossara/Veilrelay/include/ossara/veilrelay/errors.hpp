#pragma once
// Error classes of the Veilrelay client.
//
//   ossara::Exception                     root of every error the library raises
//     ValueError, TypeError, ConnectionError   general kinds
//     SecurityError, APIConnectionError
//     APIError
//       AuthenticationError, InvalidRequestError, RateLimitError,
//       ForbiddenError, ServerError, ServiceUnavailableError
//   ossara::CancelledError                cancellation; deliberately NOT an
//                                         ossara::Exception, so no catch-all
//                                         of the library swallows it.
//
// An error's text (what()) is its message alone. Every ossara::Exception
// also keeps the return addresses of the stack where it was made, which is
// where it is thrown, for the record the catch-all of send_secure_request
// logs: a trace taken in that handler would show only the handler.

#include <nlohmann/json.hpp>

#include <array>
#include <exception>
#include <optional>
#include <string>
#include <utility>

namespace ossara {

namespace detail {
// Return addresses only (no symbol lookup until the trace is written), so
// that making an error stays cheap.
struct ThrowSite {
    static constexpr int kMaxFrames = 24;
    std::array<void*, kMaxFrames> frames{};
    int count = 0;
};
// The stack of the caller (this function's own frame left out).
ThrowSite capture_throw_site() noexcept;
}  // namespace detail

class Exception : public std::exception {
public:
    explicit Exception(std::string message) : text_(std::move(message)), throw_site_(detail::capture_throw_site()) {}
    const char* what() const noexcept override { return text_.c_str(); }
    const detail::ThrowSite& throw_site() const noexcept { return throw_site_; }

private:
    std::string text_;
    detail::ThrowSite throw_site_;
};

/// An argument or received data with an unacceptable value.
class ValueError : public Exception {
public:
    using Exception::Exception;
};

/// An argument or value of the wrong kind.
class TypeError : public Exception {
public:
    using Exception::Exception;
};

/// The router was unreachable or did not answer in time.
class ConnectionError : public Exception {
public:
    using Exception::Exception;
};

/// The awaiting operation was cancelled.
class CancelledError : public std::exception {
public:
    const char* what() const noexcept override { return "operation cancelled"; }
};

/// Raised when a security violation is detected.
class SecurityError : public Exception {
public:
    using Exception::Exception;
};

/// Base class for all API-related errors.
class APIError : public Exception {
public:
    explicit APIError(std::string message_, std::optional<int> status_code_ = std::nullopt,
                      std::optional<nlohmann::ordered_json> error_details_ = std::nullopt)
        : Exception(message_),
          message(std::move(message_)),
          status_code(status_code_),
          error_details(checked_details(std::move(error_details_))) {}

    std::string message;
    std::optional<int> status_code;
    std::optional<nlohmann::ordered_json> error_details;

private:
    // Details are a JSON object or absent; any other JSON value is the wrong kind.
    static std::optional<nlohmann::ordered_json> checked_details(std::optional<nlohmann::ordered_json> details) {
        if (details.has_value() && !details->is_object()) throw TypeError("error_details must be a JSON object");
        return details;
    }
};

namespace detail {
// A status class: an APIError whose status code defaults to the class's own.
template <int DefaultStatus>
class StatusError : public APIError {
public:
    explicit StatusError(std::string message_, int status_code_ = DefaultStatus,
                         std::optional<nlohmann::ordered_json> error_details_ = std::nullopt)
        : APIError(std::move(message_), status_code_, std::move(error_details_)) {}
};
}  // namespace detail

/// Raised when authentication fails (e.g., invalid API key).
class AuthenticationError : public detail::StatusError<401> {
public:
    using StatusError::StatusError;
};

/// Raised when the request is invalid (HTTP 400).
class InvalidRequestError : public detail::StatusError<400> {
public:
    using StatusError::StatusError;
};

/// Raised when there's a connection error.
class APIConnectionError : public Exception {
public:
    using Exception::Exception;
};

/// Raised when rate limit is exceeded (HTTP 429).
class RateLimitError : public detail::StatusError<429> {
public:
    using StatusError::StatusError;
};

/// Raised when access is forbidden (HTTP 403), e.g. model not allowed for the requested security tier.
class ForbiddenError : public detail::StatusError<403> {
public:
    using StatusError::StatusError;
};

/// Raised when the server returns an error (HTTP 500).
class ServerError : public detail::StatusError<500> {
public:
    using StatusError::StatusError;
};

/// Raised when the inference backend is unavailable (HTTP 503).
class ServiceUnavailableError : public detail::StatusError<503> {
public:
    using StatusError::StatusError;
};

}  // namespace ossara
