#pragma once
// Text for an error record: the error's type, its text and the stack at the
// point of logging.
#include <exception>
#include <string>

namespace ossara::detail {

// "<demangled type>: <what()>\nStack trace:\n  #0 ...".
std::string describe_error_with_stack(const std::exception& error);

}  // namespace ossara::detail
