#pragma once
// Misbehaving peers for network tests. Each binds 127.0.0.1 on a free port.
#include "devrouter/loopback_socket.hpp"

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ossara::devrouter {

// Whether a reset these peers (and the development router's reset behaviour)
// send reaches the client as a reset. Not on Windows: the router finds its
// connection through /proc only, and Wine closes a socket whose linger time
// is zero in order (FIN) where Windows aborts it.
#if defined(_WIN32)
inline constexpr bool kResetsReachTheClient = false;
#else
inline constexpr bool kResetsReachTheClient = true;
#endif

// A socket that listens but never accepts: connections complete in the
// kernel's backlog and then nothing ever happens (a stalled server).
class SilentListener {
public:
    SilentListener();
    ~SilentListener();
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;
    int port() const { return port_; }
    std::string base_url() const;

private:
    devrouter::LoopbackSocket socket_;
    int port_ = 0;
};

// A port on 127.0.0.1 that refuses every connection for as long as the
// object lives: a socket is bound to it and never listens. Holding the port
// keeps any other socket (another test's server, another process) from
// taking it, as it could once a port is bound and released again.
class ClosedPort {
public:
    ClosedPort();
    int port() const { return port_; }
    std::string base_url() const;

private:
    devrouter::LoopbackSocket socket_;
    int port_ = 0;
};

// Accepts connections one after another; for each reads the request head
// (and a Content-Length body), writes `response` verbatim, then closes the
// connection normally (FIN) or, with reset = true, aborts it (RST). Keeps
// every request as raw bytes, so tests can see header order on the wire.
class RawResponder {
public:
    RawResponder(std::string response, bool reset);
    ~RawResponder();
    RawResponder(const RawResponder&) = delete;
    RawResponder& operator=(const RawResponder&) = delete;
    int port() const { return port_; }
    std::string base_url() const;
    int connections() const { return connections_.load(); }
    std::vector<std::string> requests() const;

private:
    void serve();

    std::string response_;
    bool reset_;
    devrouter::LoopbackSocket socket_;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

}  // namespace ossara::devrouter
