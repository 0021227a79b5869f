#pragma once
// The module's logger "ossara.Hushvault", registered in spdlog's registry
// when the library is loaded (default: level warn, one stderr sink).
#include <spdlog/logger.h>

#include <exception>
#include <string>

namespace ossara::detail {

// Named apart from the client library's logger accessor: both libraries
// live in one process and share the ossara::detail namespace.
spdlog::logger& vault_log();

// Booleans in log text are the words True and False.
constexpr const char* py_bool(bool value) noexcept { return value ? "True" : "False"; }

// The text of the error currently being handled (inside a catch block).
std::string current_error_text();

}  // namespace ossara::detail
