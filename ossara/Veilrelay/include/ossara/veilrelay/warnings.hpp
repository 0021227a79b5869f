#pragma once
// The warning channel: how the library tells the application about a risky
// configuration (for example an http:// router URL with allow_http).

#include <functional>
#include <source_location>
#include <string_view>

namespace ossara {

/// Receives category ("UserWarning"), message, and the location of the user
/// code that caused the warning.
using WarningHandler =
    std::function<void(std::string_view category, std::string_view message, const std::source_location& where)>;

/// Installs a handler and returns the previous one. An empty handler restores
/// the default, which prints "file:line: UserWarning: message" to stderr once
/// per source location.
WarningHandler set_warning_handler(WarningHandler handler);

/// Emits a warning through the installed handler.
void warn(std::string_view category, std::string_view message, const std::source_location& where);

}  // namespace ossara
