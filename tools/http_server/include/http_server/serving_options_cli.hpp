#pragma once
// The serving options on a command line, declared once for veilrelay-router
// and `veilrelay proxy` (header only: include it where CLI11 is linked).
#include "http_server/serving_options.hpp"

#include <CLI/CLI.hpp>

#include <cstddef>

namespace ossara::http_server {

inline void add_serving_options(CLI::App& app, ServingOptions& options) {
    app.add_option("--workers", options.workers, "Event-loop threads (default: one per core)")->check(CLI::Range(1, 256));
    app.add_option("--grace", options.grace_seconds,
                   "When stopped, seconds that requests in flight may still run before a 503")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 3600.0));
    app.add_option("--max-connections", options.max_connections, "Connections held at once; more are answered 503")
        ->capture_default_str()
        ->check(CLI::Range(std::size_t{1}, std::size_t{1} << 20));
    app.add_option("--keep-alive", options.keep_alive_seconds, "Seconds an idle keep-alive connection is kept open")
        ->capture_default_str()
        ->check(CLI::Range(0.1, 3600.0));
    app.add_option("--max-body-memory", options.max_body_memory_mib,
                   "MiB of request bodies held at once, all connections together; a request past it is answered 503")
        ->capture_default_str()
        ->check(CLI::Range(std::size_t{1}, std::size_t{1} << 20));
    app.add_option("--request-timeout", options.request_timeout_seconds,
                   "Seconds from a request's first byte to the end of its body; later, it is answered 408")
        ->capture_default_str()
        ->check(CLI::Range(1.0, 3600.0));
}

}  // namespace ossara::http_server
