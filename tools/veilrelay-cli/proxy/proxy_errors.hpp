#pragma once
// How the proxy reports a failure to the chat client: an HTTP status and a
// JSON body of the common error shape,
//   {"error": {"message": ..., "type": ..., "param": null, "code": ...}}
// so that SDKs raise their own error class for it. One table maps every
// error the exchange can end in to its status and type.
//
// When the router relays a model server's refusal, the status is the model
// server's (the router names it in `upstream_status` where the library
// reports another), its Retry-After is repeated, and its error object,
// which the router sends sealed for this client, is the body unchanged.
#include <nlohmann/json.hpp>

#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace veilrelay_cli {

struct ErrorReply {
    ErrorReply() = default;
    ErrorReply(int status_, std::string type_, std::optional<std::string> code_, std::string message_)
        : status(status_), type(std::move(type_)), code(std::move(code_)), message(std::move(message_)) {}

    int status = 500;
    std::string type;
    std::optional<std::string> code;
    std::string message;
    std::optional<std::string> retry_after;                 // repeated as the Retry-After header
    std::optional<nlohmann::ordered_json> error_object;     // the model server's, sent as it is
};

// How an exchange ended when it did not end in an answer.
enum class ExchangeEnd {
    failed,         // the library raised an error
    timed_out,      // the proxy's deadline passed first
    shutting_down,  // the proxy stopped before the router answered
};

// Maps the error an exchange raised (or the reason it was stopped) to its
// reply. Never throws; an unknown error becomes a 500 without its text.
// `model_server_error` is the opened body the router sealed into its refusal.
ErrorReply map_exchange_failure(const std::exception_ptr& error, ExchangeEnd end,
                                const std::optional<nlohmann::ordered_json>& model_server_error = std::nullopt) noexcept;

// The sealed model server error inside a refusal of the router (the member
// "model_server_error" of the error's details), as package bytes.
std::optional<std::vector<std::uint8_t>> sealed_model_server_error(const std::exception_ptr& error);

// A reply for input the proxy refuses itself (400 invalid_request_error).
ErrorReply invalid_request(std::string message, std::optional<std::string> code = std::nullopt);

// The response body for `reply`.
std::string error_body(const ErrorReply& reply);

}  // namespace veilrelay_cli
