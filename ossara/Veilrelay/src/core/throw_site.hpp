#pragma once
// Where a library error was made: taking the return addresses (cheap, at
// every error) and writing them out (only when an error is logged). The one
// place that knows how each platform walks and names its stack.
#include <ossara/veilrelay/errors.hpp>

#include <string>

namespace ossara::detail {

// One line per frame, "  #<n> <function>+0x<offset> (<module>)", the function
// demangled where the module exports its name, else "<module>+0x<offset>".
std::string format_throw_site(const ThrowSite& site);

}  // namespace ossara::detail
