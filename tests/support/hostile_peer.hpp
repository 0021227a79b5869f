#pragma once
// Test peers that misbehave on purpose, on 127.0.0.1 at a free port, one
// connection at a time on a thread of their own:
//  * HostilePeer answers every request but the key retrieval with a scripted
//    answer: a head, a body, optionally repeated forever or sent one byte at
//    a time. The key retrieval gets a real key (when given), so that the
//    exchange itself reaches the hostile answer.
//  * ConnectProxy is a minimal CONNECT proxy to loopback targets, recording
//    the targets it was asked for.
#include "devrouter/loopback_socket.hpp"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace ossara::testing {

struct HostileAnswer {
    std::string head;                   // status line and headers, up to and with the blank line
    std::string body;                   // sent once after the head
    std::string endless;                // when not empty: then sent again and again until the client hangs up
    std::chrono::milliseconds drip{0};  // > 0: the body goes out one byte per interval
    std::optional<std::string> key_pem;  // when set, GET /pki/public_key answers 200 with it

    // `status` with a Content-Length head for `body`.
    static HostileAnswer with_body(int status, std::string body, std::string extra_headers = "");
    // `status`, then `chunk` repeated forever (no length: the body ends with the connection).
    static HostileAnswer endless_body(int status, std::string chunk);
};

class HostilePeer {
public:
    explicit HostilePeer(HostileAnswer answer);
    ~HostilePeer();
    HostilePeer(const HostilePeer&) = delete;
    HostilePeer& operator=(const HostilePeer&) = delete;

    int port() const { return port_; }
    std::string base_url() const;
    // Request heads seen, in order (method, path and headers as sent).
    std::vector<std::string> requests() const;
    std::size_t posts() const;
    // Bytes of answers to other requests than the key retrieval written so far.
    std::size_t bytes_sent() const { return bytes_sent_.load(); }

private:
    void serve();
    void answer(const devrouter::LoopbackSocket& connection, const std::string& request);
    bool send_all(const devrouter::LoopbackSocket& connection, const char* data, std::size_t size);

    HostileAnswer answer_;
    devrouter::LoopbackSocket listener_;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<std::size_t> bytes_sent_{0};
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

class ConnectProxy {
public:
    ConnectProxy();
    ~ConnectProxy();
    ConnectProxy(const ConnectProxy&) = delete;
    ConnectProxy& operator=(const ConnectProxy&) = delete;

    std::string url() const;  // http://127.0.0.1:<port>
    std::vector<std::string> targets() const;  // "host:port" of each CONNECT

private:
    void serve();
    void tunnel(const devrouter::LoopbackSocket& client);

    devrouter::LoopbackSocket listener_;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> targets_;
    std::thread thread_;
};

}  // namespace ossara::testing
