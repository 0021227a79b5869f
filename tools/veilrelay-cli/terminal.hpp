#pragma once
// Whether a standard stream is an interactive terminal: decides between a
// spinner and a plain line, and whether a prompt is worth printing.
#include <cstdio>

namespace veilrelay_cli {

bool is_terminal(std::FILE* stream) noexcept;

// The key that ends typed input on this system's terminals.
#if defined(_WIN32)
inline constexpr const char* kEndOfInputKey = "Ctrl-Z and Enter";
#else
inline constexpr const char* kEndOfInputKey = "Ctrl-D";
#endif

}  // namespace veilrelay_cli
