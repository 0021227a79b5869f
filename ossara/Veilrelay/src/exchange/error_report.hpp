#pragma once
// Text for an error record: the error's type, its text and the stack where
// it was raised.
#include <exception>
#include <string>

namespace ossara::detail {

// "<demangled type>: <what()>\nStack trace:\n  #0 ...", the frames taken
// where a library error (ossara::Exception, the transport's HttpError) was
// made. Any other error was raised where no trace was taken: the record says
// so instead of showing the handler's own stack.
std::string describe_error_with_stack(const std::exception& error);

}  // namespace ossara::detail
