#pragma once
// How the proxy reports a failure to the chat client: an HTTP status and a
// JSON body of the common error shape,
//   {"error": {"message": ..., "type": ..., "param": null, "code": ...}}
// so that SDKs raise their own error class for it. One table maps every
// error the exchange can end in to its status and type.
#include <exception>
#include <optional>
#include <string>

namespace veilrelay_cli {

struct ErrorReply {
    int status = 500;
    std::string type;
    std::optional<std::string> code;
    std::string message;
};

// How an exchange ended when it did not end in an answer.
enum class ExchangeEnd {
    failed,         // the library raised an error
    timed_out,      // the proxy's deadline passed first
    shutting_down,  // the proxy stopped before the router answered
};

// Maps the error an exchange raised (or the reason it was stopped) to its
// reply. Never throws; an unknown error becomes a 500 without its text.
ErrorReply map_exchange_failure(const std::exception_ptr& error, ExchangeEnd end) noexcept;

// A reply for input the proxy refuses itself (400 invalid_request_error).
ErrorReply invalid_request(std::string message, std::optional<std::string> code = std::nullopt);

// The response body for `reply`.
std::string error_body(const ErrorReply& reply);

}  // namespace veilrelay_cli
