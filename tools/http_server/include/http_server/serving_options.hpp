#pragma once
// The serving options veilrelay-router and `veilrelay proxy` share
// (serving_options_cli.hpp declares them on a command line).
#include "http_server/async_http_server.hpp"

#include <chrono>
#include <cstddef>

namespace ossara::http_server {

struct ServingOptions {
    int workers = 0;  // event-loop threads; 0: one per core
    double grace_seconds = 10.0;
    std::size_t max_connections = ServerLimits{}.max_connections;
    double keep_alive_seconds = 60.0;
    std::size_t max_body_memory_mib = ServerLimits{}.max_body_memory >> 20;
    double request_timeout_seconds = 60.0;

    std::chrono::milliseconds grace() const {
        return std::chrono::milliseconds(static_cast<long long>(grace_seconds * 1000.0));
    }
    // The connection limit, the keep-alive, the request bodies' memory and
    // the request timeout into `limits`; the rest stays.
    void apply(ServerLimits& limits) const {
        limits.max_connections = max_connections;
        limits.idle_timeout = std::chrono::milliseconds(static_cast<long long>(keep_alive_seconds * 1000.0));
        limits.max_body_memory = max_body_memory_mib << 20;
        limits.request_timeout = std::chrono::milliseconds(static_cast<long long>(request_timeout_seconds * 1000.0));
    }
};

}  // namespace ossara::http_server
