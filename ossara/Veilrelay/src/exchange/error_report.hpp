#pragma once
// Text for an error record: the error's type, its text and the stack where
// it was raised.
#include <exception>
#include <string>
#include <string_view>

namespace ossara::detail {

// "<demangled type>: <what()>\nStack trace:\n  #0 ...", the frames taken
// where a library error (ossara::Exception, the transport's HttpError) was
// made. Any other error was raised where no trace was taken: the record says
// so instead of showing the handler's own stack.
std::string describe_error_with_stack(const std::exception& error);

// What the caller of an exchange sees of its failure: the library's own
// refusals, status errors and cancellations as they are; a network failure
// as APIConnectionError "Failed to connect to router: ..."; anything else
// logged at error level as "Unexpected error in <operation>" with its stack,
// then APIConnectionError "Request failed due to an unexpected error".
[[noreturn]] void raise_exchange_failure(std::exception_ptr failure, std::string_view operation);

}  // namespace ossara::detail
