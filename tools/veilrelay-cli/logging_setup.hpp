#pragma once
// How the libraries' log output and warnings look when they run inside the tool.
namespace veilrelay_cli {

// Gives the loggers "ossara.Veilrelay" and "ossara.Hushvault" the tool's
// line format ("veilrelay: warning: ...") and their level: warnings and
// errors only by default (each distinct text once per run), info with
// verbosity 1 (-v), debug with 2 (-vv).
// A logger the library has not registered yet is registered here with the
// library's defaults (one stderr sink), so the library picks it up.
void configure_logging(int verbosity);

// Routes the library's warnings (an http:// router with --allow-http) to
// stderr in the tool's style, each distinct warning once per run.
void install_warning_handler();

}  // namespace veilrelay_cli
