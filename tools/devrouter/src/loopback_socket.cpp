#include "devrouter/loopback_socket.hpp"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <system_error>
#include <utility>
#include <vector>

namespace ossara::devrouter {

namespace {

#if defined(_WIN32)
using socklen_type = int;
using pollfd_type = WSAPOLLFD;

// Winsock must be started once per process before the first socket call.
void start_winsock() {
    static const bool started = [] {
        WSADATA data{};
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;
}
int last_error() { return ::WSAGetLastError(); }
std::system_error socket_error(const char* what) { return std::system_error(last_error(), std::system_category(), what); }
int poll_sockets(pollfd_type* fds, std::size_t n, int timeout_ms) {
    return ::WSAPoll(fds, static_cast<ULONG>(n), timeout_ms);
}
void close_native(LoopbackSocket::native_type fd) { ::closesocket(fd); }
bool would_block(int error) { return error == WSAEWOULDBLOCK; }
constexpr int kNoSignal = 0;
#else
using socklen_type = socklen_t;
using pollfd_type = pollfd;

void start_winsock() {}
int last_error() { return errno; }
std::system_error socket_error(const char* what) { return std::system_error(errno, std::generic_category(), what); }
int poll_sockets(pollfd_type* fds, std::size_t n, int timeout_ms) {
    for (;;) {
        const int ready = ::poll(fds, static_cast<nfds_t>(n), timeout_ms);
        if (ready >= 0 || errno != EINTR) return ready;
    }
}
void close_native(LoopbackSocket::native_type fd) { ::close(fd); }
// Sockets are not handed to the child processes the tests start. Set after
// the call that made the socket (SOCK_CLOEXEC and accept4 are Linux's), so a
// child started by another thread in between could inherit it; the tests'
// children are started where no socket is being made. Where send() has no
// MSG_NOSIGNAL (older macOS), the socket itself is told not to raise SIGPIPE.
LoopbackSocket::native_type close_on_exec(LoopbackSocket::native_type fd) {
    if (fd < 0) return fd;
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
#if !defined(MSG_NOSIGNAL) && defined(SO_NOSIGPIPE)
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
    return fd;
}
bool would_block(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }
#if defined(MSG_NOSIGNAL)
constexpr int kNoSignal = MSG_NOSIGNAL;
#else
constexpr int kNoSignal = 0;
#endif
#endif

sockaddr_in loopback_address(int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    return addr;
}

LoopbackSocket::native_type new_tcp_socket() {
    start_winsock();
#if defined(_WIN32)
    return ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
#else
    return close_on_exec(::socket(AF_INET, SOCK_STREAM, 0));
#endif
}

short poll_once(LoopbackSocket::native_type fd, short events, int timeout_ms) {
    pollfd_type p{};
    p.fd = fd;
    p.events = events;
    return poll_sockets(&p, 1, timeout_ms) > 0 ? p.revents : 0;
}

}  // namespace

LoopbackSocket::~LoopbackSocket() { close(); }

LoopbackSocket::LoopbackSocket(LoopbackSocket&& other) noexcept : fd_(std::exchange(other.fd_, kInvalid)) {}

LoopbackSocket& LoopbackSocket::operator=(LoopbackSocket&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, kInvalid);
    }
    return *this;
}

LoopbackSocket LoopbackSocket::bind_free_port(int backlog) {
    LoopbackSocket s(new_tcp_socket());
    if (!s.valid()) throw socket_error("socket");
#if defined(_WIN32)
    // The port is this socket's alone: without the option, a socket with
    // SO_REUSEADDR may bind it too (and a bound, non-listening one of ours
    // is then no longer sure to refuse).
    const BOOL exclusive = TRUE;
    ::setsockopt(s.fd_, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive), sizeof exclusive);
#endif
    const sockaddr_in addr = loopback_address(0);
    if (::bind(s.fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) throw socket_error("bind");
    if (backlog >= 0 && ::listen(s.fd_, backlog) != 0) throw socket_error("listen");
    return s;
}

LoopbackSocket LoopbackSocket::connect_to(int port) {
    LoopbackSocket s(new_tcp_socket());
    const sockaddr_in addr = loopback_address(port);
    if (s.valid() && ::connect(s.fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) s.close();
    return s;
}

bool LoopbackSocket::valid() const { return fd_ != kInvalid; }

int LoopbackSocket::local_port() const {
    sockaddr_in addr{};
    socklen_type len = sizeof addr;
    if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return -1;
    return ntohs(addr.sin_port);
}

LoopbackSocket LoopbackSocket::accept() const {
#if defined(_WIN32)
    return LoopbackSocket(::accept(fd_, nullptr, nullptr));
#else
    return LoopbackSocket(close_on_exec(::accept(fd_, nullptr, nullptr)));
#endif
}

bool LoopbackSocket::wait_readable(int timeout_ms) const { return poll_once(fd_, POLLIN, timeout_ms) != 0; }

LoopbackSocket::Room LoopbackSocket::wait_writable(int timeout_ms) const {
    const short revents = poll_once(fd_, POLLOUT, timeout_ms);
    if ((revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return Room::gone;
    return revents != 0 ? Room::ready : Room::timeout;
}

long LoopbackSocket::receive(char* buffer, std::size_t size) const {
    return static_cast<long>(::recv(fd_, buffer, static_cast<int>(size), 0));
}

long LoopbackSocket::send_some(const char* data, std::size_t size, bool* again) const {
    const long n = static_cast<long>(::send(fd_, data, static_cast<int>(size), kNoSignal));
    if (again != nullptr) *again = n < 0 && would_block(last_error());
    return n;
}

bool LoopbackSocket::send_all(std::string_view data) const {
    while (!data.empty()) {
        const long n = send_some(data.data(), data.size());
        if (n <= 0) return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void LoopbackSocket::abort_on_close() const {
    const linger abort_now{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort_now), sizeof abort_now);
}

void LoopbackSocket::close() {
    if (valid()) close_native(std::exchange(fd_, kInvalid));
}

int wait_any_readable(std::initializer_list<const LoopbackSocket*> sockets, int timeout_ms) {
    std::vector<pollfd_type> fds;
    for (const LoopbackSocket* s : sockets) {
        pollfd_type p{};
        p.fd = s->native();
        p.events = POLLIN;
        fds.push_back(p);
    }
    if (poll_sockets(fds.data(), fds.size(), timeout_ms) <= 0) return -1;
    for (std::size_t i = 0; i < fds.size(); ++i)
        if (fds[i].revents != 0) return static_cast<int>(i);
    return -1;
}

}  // namespace ossara::devrouter
