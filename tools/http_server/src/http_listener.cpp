#include "http_server/http_listener.hpp"

#include "exclusive_port.hpp"

#include <httplib.h>
#if !defined(_WIN32)
#include <sys/socket.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>

namespace ossara::http_server {

namespace {

// cpp-httplib keeps its listening socket in a protected member and offers no
// way to stop accepting without also ending the connections it has accepted;
// this reads the socket without changing the server's class.
struct ListeningSocket : httplib::Server {
    static std::atomic<socket_t>& of(httplib::Server& server) { return server.*(&ListeningSocket::svr_sock_); }
};

// Whether `fd` is still a listening socket bound to `port` (and not a
// descriptor the process has reused since the server closed its own).
bool listens_on(socket_t fd, int port) {
    int accepting = 0;
    socklen_t size = sizeof accepting;
    if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, reinterpret_cast<char*>(&accepting), &size) != 0 || !accepting)
        return false;
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return false;
    if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port) == port;
    if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port) == port;
    return false;
}

#if defined(_WIN32)
// Windows has no shutdown of a listening socket (it fails with WSAENOTCONN
// and accept goes on), only closesocket, and the accept loop closes the
// socket it holds once accept fails. So the loop is handed a stand-in it may
// close: a UDP socket with a datagram waiting, which it finds readable and on
// which accept fails at once. The listening socket itself is closed here,
// exactly once; its handle value, which Windows soon hands out again, is
// never closed a second time. The server's socket is not set to
// INVALID_SOCKET, since its connections stop at that (as after stop()).
socket_t readable_stand_in() {
    const socket_t udp = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (udp == INVALID_SOCKET) return INVALID_SOCKET;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    const char byte = 0;
    if (::bind(udp, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
        ::getsockname(udp, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        ::sendto(udp, &byte, 1, 0, reinterpret_cast<const sockaddr*>(&address), length) != 1) {
        ::closesocket(udp);
        return INVALID_SOCKET;
    }
    return udp;
}

void stop_listening(std::atomic<socket_t>& listening) {
    const socket_t stand_in = readable_stand_in();
    if (stand_in == INVALID_SOCKET) return;
    ::closesocket(listening.exchange(stand_in));
}
#else
// Shutting the listening socket down makes accept fail; the accept loop then
// closes the socket itself.
void stop_listening(std::atomic<socket_t>& listening) { ::shutdown(listening.load(), SHUT_RDWR); }
#endif

}  // namespace

std::unique_ptr<httplib::Server> make_http_server(std::size_t worker_threads, const std::string& cert_file,
                                                  const std::string& key_file) {
#if defined(SIGPIPE)
    std::signal(SIGPIPE, SIG_IGN);
#endif
    std::unique_ptr<httplib::Server> server;
    if (cert_file.empty())
        server = std::make_unique<httplib::Server>();
    else
        server = std::make_unique<httplib::SSLServer>(cert_file.c_str(), key_file.c_str());
    if (!server->is_valid()) throw std::runtime_error("cannot load the TLS certificate or key");
    const std::size_t workers = std::max<std::size_t>(1, worker_threads);
    server->new_task_queue = [workers] { return new httplib::ThreadPool(workers); };
    return server;
}

int listen_in_background(httplib::Server& server, const std::string& host, int port, std::thread& listener) {
    socket_t listen_fd = INVALID_SOCKET;
    server.set_socket_options([&listen_fd](socket_t sock) {
#if defined(_WIN32)
        // cpp-httplib's options would set SO_REUSEADDR, and then
        // SO_EXCLUSIVEADDRUSE, which Windows refuses beside it.
        (void)take_port_alone(sock);
#else
        httplib::default_socket_options(sock);
#endif
        listen_fd = sock;
    });
    const int bound = port == 0 ? server.bind_to_any_port(host) : (server.bind_to_port(host, port) ? port : -1);
    // The callback above refers to this frame: hand the server the plain one again.
    server.set_socket_options(httplib::default_socket_options);
    if (bound <= 0) return -1;
    // listen() on a listening socket only changes its backlog.
    if (listen_fd != INVALID_SOCKET) ::listen(listen_fd, SOMAXCONN);

    // The accept loop starts right after the server has made its worker pool
    // (which takes a while for many threads); until then connections wait in
    // the backlog, and a stop would reset them. Wait for that moment itself.
    struct Started {
        std::promise<void> promise;
        std::once_flag once;
    };
    auto started = std::make_shared<Started>();
    server.new_task_queue = [make_pool = server.new_task_queue, started] {
        httplib::TaskQueue* pool = make_pool();
        std::call_once(started->once, [&] { started->promise.set_value(); });
        return pool;
    };
    auto accepting = started->promise.get_future();
    listener = std::thread([&server] {
        // On Windows socket calls leave errno alone, and the accept loop
        // retries a failed accept while errno says EINTR or EAGAIN.
        errno = 0;
        server.listen_after_bind();
    });
    accepting.wait_for(std::chrono::seconds(60));
    return bound;
}

void stop_accepting(httplib::Server& server, int port) {
    if (!server.is_running()) return;
    std::atomic<socket_t>& listening = ListeningSocket::of(server);
    const socket_t fd = listening.load();
    // Ending the accept loop; the server then finishes every connection it
    // had accepted.
    if (fd != INVALID_SOCKET && listens_on(fd, port)) stop_listening(listening);
}

}  // namespace ossara::http_server
