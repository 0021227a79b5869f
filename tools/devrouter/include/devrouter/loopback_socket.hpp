#pragma once
// Plain TCP sockets on 127.0.0.1 for the test servers that misbehave at the
// byte level (stall, drip, reset, record the wire). One small surface over
// BSD sockets and Winsock, so those servers build and run on both.
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string_view>

namespace ossara::devrouter {

class LoopbackSocket {
public:
#if defined(_WIN32)
    using native_type = std::uintptr_t;  // SOCKET
#else
    using native_type = int;
#endif

    LoopbackSocket() = default;
    ~LoopbackSocket();
    LoopbackSocket(LoopbackSocket&& other) noexcept;
    LoopbackSocket& operator=(LoopbackSocket&& other) noexcept;
    LoopbackSocket(const LoopbackSocket&) = delete;
    LoopbackSocket& operator=(const LoopbackSocket&) = delete;

    // Bound to 127.0.0.1 on a free port; listening unless backlog < 0.
    // std::system_error when the system refuses.
    static LoopbackSocket bind_free_port(int backlog);
    // Connected to 127.0.0.1:port, or an invalid socket when that fails.
    static LoopbackSocket connect_to(int port);

    bool valid() const;
    int local_port() const;
    native_type native() const { return fd_; }

    // The next connection waiting on a listening socket, or an invalid one.
    LoopbackSocket accept() const;
    // True once a read will not block (data, end of stream or an error).
    bool wait_readable(int timeout_ms) const;
    enum class Room { ready, timeout, gone };
    // Waits for room to write; `gone` when the peer hung up or the socket failed.
    Room wait_writable(int timeout_ms) const;
    // Bytes read (> 0), 0 at the end of the stream, < 0 on an error.
    long receive(char* buffer, std::size_t size) const;
    // Bytes written (never raises SIGPIPE), < 0 on an error; `again` tells a full buffer.
    long send_some(const char* data, std::size_t size, bool* again = nullptr) const;
    // Writes everything, blocking; false when the peer is gone.
    bool send_all(std::string_view data) const;
    // The next close sends RST instead of FIN.
    void abort_on_close() const;
    void close();

private:
    explicit LoopbackSocket(native_type fd) : fd_(fd) {}
    native_type fd_ = kInvalid;
#if defined(_WIN32)
    static constexpr native_type kInvalid = ~native_type{0};
#else
    static constexpr native_type kInvalid = -1;
#endif
};

// The index of the first socket in `sockets` that has something to read, or
// -1 when none has within `timeout_ms`.
int wait_any_readable(std::initializer_list<const LoopbackSocket*> sockets, int timeout_ms);

}  // namespace ossara::devrouter
