#pragma once
// The --listen ADDR:PORT value of `veilrelay proxy`.
#include <string>
#include <string_view>

namespace veilrelay_cli {

struct ListenAddress {
    std::string host;  // without brackets for IPv6
    int port = 0;      // 0 picks a free port

    // "http://HOST:PORT" with IPv6 hosts in brackets.
    std::string url(int bound_port) const;
};

// Parses "HOST:PORT" or "[IPV6]:PORT"; throws UsageError when malformed.
ListenAddress parse_listen_address(std::string_view text);

// True for addresses only this machine can reach: 127.0.0.0/8, ::1 and "localhost".
bool is_loopback(std::string_view host);

}  // namespace veilrelay_cli
