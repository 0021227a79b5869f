#pragma once
// Exit codes of the veilrelay tool and the one-line report of a failure.
//
// Every failure leaves the tool as one line on stderr ("what happened --
// what to do") and an exit code that tells the error's class, so scripts can
// react without parsing text.

#include <exception>
#include <stdexcept>
#include <string>
#include <string_view>

namespace veilrelay_cli {

enum class ExitCode : int {
    ok = 0,
    failure = 1,         // anything not listed below
    usage = 2,           // wrong command line
    authentication = 3,  // the router refused the API key (401)
    forbidden = 4,       // model not allowed for the tier (403)
    rate_limited = 5,    // too many requests (429)
    api_error = 6,       // any other error answer of the router
    connection = 7,      // router unreachable, no answer, connection broken
    security = 8,        // refused for security reasons (plain http, encryption, authentication of the answer)
    invalid_input = 9,   // payload, tier, key or password not acceptable
    file_error = 10,     // a file could not be read or written
};

// The command line asks for something impossible (reported with exit code 2).
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A value given to the tool is not acceptable (exit code 9).
class InputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct FailureReport {
    ExitCode code;
    std::string line;  // one line, no trailing newline
};

// Classifies the error and words it for the user. Never throws.
FailureReport describe_failure(const std::exception_ptr& error) noexcept;

// The table of exit codes as shown at the end of --help.
std::string exit_code_help();

}  // namespace veilrelay_cli
